#pragma once

#include <string>

// The version texts of this build, taken from the project version. Tests may
// override them to provoke a version mismatch.
class koVersionInfo
{
public:
    static koVersionInfo& the();

    // Full version, e.g. "0.1.0"; travels in the tunnel request line.
    std::string getVersionString() const;
    // The version users see, e.g. "0.1 (2026)"; peers compare it for equality.
    std::string getDisplayVersionYearString() const;

    // Replaces both texts for this process; empty texts restore the built-in ones.
    void setVersionStrings(const std::string& version, const std::string& displayVersionYear);

private:
    koVersionInfo();
};
