#pragma once

#include <string>

// A throwaway key and a self-signed certificate for a server the bench starts
// on loopback: nobody verifies it, it only lets a TLS handshake complete.
class koBenchCertificate
{
public:
    // Writes the key and the certificate as PEM files. Throws
    // std::runtime_error naming the step that failed.
    static void write(const std::string& keyFile, const std::string& certificateFile);
};
