#include "koSession.h"
#include "koSessionUserPoseCommand.h"

#include <QMetaMethod>
#include <QMetaObject>
#include <QObject>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

TEST(SessionObject, TheIsOneObject)
{
    koSession* first = &koSession::the();
    EXPECT_EQ(first, &koSession::the());
    EXPECT_EQ(first->parent(), nullptr);
}

TEST(SessionObject, MetaObjectHasExactlyTheFourSignals)
{
    const QMetaObject& meta = koSession::staticMetaObject;
    EXPECT_STREQ(meta.className(), "koSession");
    EXPECT_EQ(meta.superClass(), &QObject::staticMetaObject);
    EXPECT_EQ(koSession::the().metaObject(), &meta);

    struct Signal
    {
        const char* signature;
        const char* name;
        QByteArray type;
        QByteArray parameter;
    };
    const std::vector<Signal> expected = {
        {"userAdded(koSessionUser)", "userAdded", "koSessionUser", "user"},
        {"userRemoved(koSessionUserId)", "userRemoved", "koSessionUserId", "userId"},
        {"userChanged(koSessionUser)", "userChanged", "koSessionUser", "user"},
        {"poseChanged(const koSessionUserPoseCommand*)", "poseChanged", "const koSessionUserPoseCommand*", "pose"},
    };
    ASSERT_EQ(meta.methodCount() - meta.methodOffset(), int(expected.size()));
    for (int i = 0; i < int(expected.size()); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(meta.indexOfSignal(expected[i].signature), meta.methodOffset() + i);
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        EXPECT_EQ(method.name(), QByteArray(expected[i].name));
        EXPECT_EQ(method.methodType(), QMetaMethod::Signal);
        EXPECT_EQ(method.access(), QMetaMethod::Public);
        EXPECT_EQ(method.parameterTypes(), QList<QByteArray>{expected[i].type});
        EXPECT_EQ(method.parameterNames(), QList<QByteArray>{expected[i].parameter});
    }
    EXPECT_EQ(meta.propertyCount(), meta.propertyOffset());
    EXPECT_EQ(meta.enumeratorCount(), meta.enumeratorOffset());
    EXPECT_EQ(meta.classInfoCount(), meta.classInfoOffset());
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
}

TEST(SessionObject, DefaultColorsAreTheOpaqueTableInOrder)
{
    const auto colors = koSession::the().getDefaultColors();
    ASSERT_EQ(colors.size(), 20);
    EXPECT_EQ(colors.front().second, QStringLiteral("Picton Blue"));
    EXPECT_EQ(colors.at(5).second, QStringLiteral("Copper"));
    EXPECT_EQ(colors.back().second, QStringLiteral("Thunderbird"));
    for (int i = 0; i < 60; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(colors.at(i % 20).first, koSession::the().getDefaultColor(i));
        EXPECT_EQ(colors.at(i % 20).first.alpha(), 255);
    }
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
