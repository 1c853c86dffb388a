#pragma once

#include "koSessionExport.h"

#include <QColor>
#include <QImage>
#include <QString>

#include <cstddef>

class QDataStream;
class QPixmap;
class koNetSerializer;

// One participant of a session: identity, colour, project, device and
// spectator state. A plain value; any thread may use its own copy.
//
// Two serialized forms: put/get write and read the QDataStream form (thirteen
// values, no count or marker of its own); putValue/getValue wrap that form in
// a byte count for a koNetSerializer.
class KOSESSION_EXPORT koSessionUser
{
public:
    // Largest QDataStream form that getValue accepts. A device image makes
    // the record large, yet a few megabytes are plenty for an icon picture.
    static constexpr std::size_t maxSerializedSize = 16u * 1024u * 1024u;
    // Longest name, project name, room or device name, in UTF-16 units: the
    // longest text the handshake carries, since the server lists every name.
    static constexpr int maxTextUnits = 64 * 1024;
    // Widest and tallest device picture that get decodes (64 MiB of pixels
    // at most). Checked from the picture's header; a larger one is skipped
    // whole and read as a null image.
    static constexpr int maxDeviceImageSide = 4096;

    koSessionUser();

    unsigned short getId() const { return id; }
    void setId(unsigned short value) { id = value; }
    QString getName() const { return name; }
    // The four text setters throw koNetError for a text above maxTextUnits.
    void setName(const QString& value);
    QColor getColor() const { return color; }
    void setColor(const QColor& value) { color = value; }
    unsigned int getProjectCRC() const { return projectCRC; }
    void setProjectCRC(unsigned int value) { projectCRC = value; }
    QString getProjectName() const { return projectName; }
    void setProjectName(const QString& value);
    bool getIsHmd() const { return isHmd; }
    void setIsHmd(bool value) { isHmd = value; }
    QString getRoom() const { return room; }
    void setRoom(const QString& value);
    bool getVisible() const { return visible; }
    void setVisible(bool value) { visible = value; }
    QString getDeviceName() const { return deviceName; }
    void setDeviceName(const QString& value);
    QImage getDeviceImage() const { return deviceImage; }
    void setDeviceImage(const QImage& value) { deviceImage = value; }
    bool getIsSpectator() const { return isSpectator; }
    void setIsSpectator(bool value) { isSpectator = value; }
    unsigned short getSpectatedUserId() const { return spectatedUserId; }
    void setSpectatedUserId(unsigned short value) { spectatedUserId = value; }
    int getSpectatorCount() const { return spectatorCount; }
    void setSpectatorCount(int value) { spectatorCount = value; }

    // True when any field but projectName differs.
    bool operator!=(const koSessionUser& other) const;

    // Throws koNetError, naming the field and the limit, when a text is above
    // maxTextUnits or the serialized form above maxSerializedSize: such a
    // record would be refused by the server, or stop others from joining.
    void checkLimits() const;

    // The QDataStream form. get does not validate beyond refusing a colour
    // of unknown form (the stream's status turns ReadCorruptData) and
    // skipping a device picture above maxDeviceImageSide whole (read as a null image, logged): a short
    // stream leaves the remaining fields as QDataStream leaves them (check
    // the stream's status).
    void put(QDataStream& stream) const;
    void get(QDataStream& stream);

    // The serializer form: byte count, then the QDataStream form. Both throw
    // koNetError when the serializer fails; getValue also throws, before
    // allocating, when the count exceeds maxSerializedSize.
    void putValue(koNetSerializer& serializer) const;
    void getValue(koNetSerializer& serializer);

    // The device picture's shape filled with the participant's colour, with a
    // badge showing the spectator count when it is above 0. Needs a
    // QGuiApplication; call it on the application's GUI thread.
    QImage getIcon() const;

private:
    void paintSpectatorBadge(QPixmap& pixmap) const;

    QString projectName;
    QString name;
    QString room;
    QColor color;
    unsigned short id = 0;
    unsigned short spectatedUserId = 0;
    unsigned int projectCRC = 0;
    bool isHmd = false;
    bool isSpectator = false;
    bool visible = true;
    QString deviceName;
    QImage deviceImage;
    int spectatorCount = 0;
};
