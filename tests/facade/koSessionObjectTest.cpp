#include "koSession.h"
#include "koSessionUserPoseCommand.h"

#include <QMetaObject>
#include <QObject>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

// A host may connect by signature text: the four signals must keep theirs.
TEST(SessionObject, SignalsKeepTheirSignatures)
{
    const QMetaObject& meta = koSession::staticMetaObject;
    for (const char* signature : {"userAdded(koSessionUser)", "userRemoved(koSessionUserId)",
                                  "userChanged(koSessionUser)", "poseChanged(const koSessionUserPoseCommand*)"})
        EXPECT_GE(meta.indexOfSignal(signature), meta.methodOffset()) << signature;
}

TEST(SessionObject, DefaultColorWrapsModuloTwenty)
{
    struct Row
    {
        int index;
        QColor color;
    };
    const std::vector<Row> rows = {
        {0, QColor(65, 163, 222)},   // Picton Blue
        {19, QColor(217, 24, 25)},   // Thunderbird
        {20, QColor(65, 163, 222)},  // entry 0 again
        {45, QColor(126, 89, 49)},   // entry 5, Copper
        {-1, QColor(217, 24, 25)},   // counts back from the end
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.index);
        EXPECT_EQ(koSession::the().getDefaultColor(row.index), row.color);
    }
    // The named table is the same one, in the same order.
    const auto colors = koSession::the().getDefaultColors();
    ASSERT_EQ(colors.size(), 20);
    EXPECT_EQ(colors.at(5).second, QStringLiteral("Copper"));
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(colors.at(i).first, koSession::the().getDefaultColor(i)) << i;
}

TEST(SessionObject, PoseChangedReachesADirectReceiverOnTheExecutingThread)
{
    koSessionUserPoseCommand pose(7, osg::TransformationMatrix<float>());
    std::vector<const koSessionUserPoseCommand*> received;
    std::vector<std::thread::id> threads;
    QObject receiver;
    QObject::connect(&koSession::the(), &koSession::poseChanged, &receiver,
                     [&](const koSessionUserPoseCommand* command) {
                         received.push_back(command);
                         threads.push_back(std::this_thread::get_id());
                         EXPECT_EQ(command->getUserId(), 7);
                     },
                     Qt::DirectConnection);

    pose.execute(nullptr);
    std::thread other([&] { pose.execute(nullptr); });
    other.join();

    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], &pose);
    EXPECT_EQ(received[1], &pose);
    EXPECT_EQ(threads[0], std::this_thread::get_id());
    EXPECT_NE(threads[1], std::this_thread::get_id());
}
