// A join refused for its version. The version texts are process-wide, and the
// server compares the client's text with its own, so the participant of
// another version runs in a child process.

#include "koFacadeTestKit.h"
#include "koTestSupport.h"

#include "koSession.h"
#include "koSessionVersionError.h"

#include "koVersionInfo.h"

#include <QFile>

#include <cstdlib>
#include <string>

#include <unistd.h>

using namespace koFacadeTest;

namespace {

using FacadeVersionTest = FacadeTest;

const char* const childCase = "FacadeVersionChild.JoinWithAnotherVersion";

using koTest::VersionOverride;

} // namespace

TEST_F(FacadeVersionTest, JoinOfAnotherVersionPassesTheVersionErrorOn)
{
    auto alice = joinClient(QStringLiteral("Alice"));
    auto bob = joinClient(QStringLiteral("Bob"));
    const std::string done = ::testing::TempDir() + "facade-version-child-" + std::to_string(::getpid());
    QFile::remove(QString::fromStdString(done));

    const int status = runChildCase(childCase, {
        "KO_FACADE_TEST_LINK=" + link.toStdString(),
        "KO_FACADE_TEST_VERSION=" + koVersionInfo::the().getDisplayVersionYearString(),
        "KO_FACADE_TEST_NAMES=Alice,Bob",
        "KO_FACADE_TEST_DONE=" + done,
    });
    EXPECT_EQ(status, 0) << "the child's checks failed";
    EXPECT_TRUE(QFile::exists(QString::fromStdString(done))) << "the child did not run its checks";
    QFile::remove(QString::fromStdString(done));

    // The refused participant left nothing behind: the facade of this
    // version joins as the third.
    joinFacade(QStringLiteral("Carol"));
    ASSERT_TRUE(facadeSees(3));
    EXPECT_EQ(namesOf(koSession::the().getUsers()), QStringList({"Alice", "Bob", "Carol"}));
}

TEST(FacadeVersionChild, JoinWithAnotherVersion)
{
    const char* link = std::getenv("KO_FACADE_TEST_LINK");
    if (!link)
        GTEST_SKIP() << "runs only as the child of JoinOfAnotherVersionPassesTheVersionErrorOn";
    koServerTest::prepareProcess();
    koSession& facade = koSession::the();
    const koSessionUser* empty = &facade.getUser();
    const QString sessionLink = QString::fromUtf8(link);
    {
        VersionOverride other("0.0.1", "0.0 (1999)");
        try {
            facade.join(sessionLink, koServerTest::makeUser(QStringLiteral("Mallory")), QString(), false);
            ADD_FAILURE() << "join succeeded";
        } catch (const koSessionVersionError& e) {
            EXPECT_STREQ(e.what(), "Incompatible kova version connected");
            EXPECT_EQ(e.getVersion().toStdString(), std::getenv("KO_FACADE_TEST_VERSION"));
            EXPECT_EQ(e.getUserNames().join(',').toStdString(), std::getenv("KO_FACADE_TEST_NAMES"));
        }
    }
    EXPECT_EQ(facade.getSessionLink(), sessionLink);
    EXPECT_FALSE(facade.isConnected());
    EXPECT_FALSE(facade.isReadyToUse());
    EXPECT_FALSE(facade.isJoinCompleted());
    EXPECT_TRUE(facade.getUsers().empty());
    EXPECT_EQ(&facade.getUser(), empty);

    QFile marker(QString::fromUtf8(std::getenv("KO_FACADE_TEST_DONE")));
    EXPECT_TRUE(marker.open(QIODevice::WriteOnly));
}
