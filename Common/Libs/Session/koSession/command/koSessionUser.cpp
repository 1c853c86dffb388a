#include "koSessionUser.h"

#include "koLog.h"
#include "koNetError.h"
#include "koNetSerializer.h"

#include <QBitmap>
#include <QBuffer>
#include <QBrush>
#include <QByteArray>
#include <QDataStream>
#include <QFont>
#include <QImageReader>
#include <QPainter>
#include <QPen>
#include <QPixmap>
#include <QtEndian>
#include <QtNumeric>

#include <string>

namespace {

bool hasFiniteComponents(const QColor& color)
{
    return qIsFinite(color.redF()) && qIsFinite(color.greenF()) && qIsFinite(color.blueF())
        && qIsFinite(color.alphaF());
}

// Reads a colour in Qt's QDataStream form: a signed byte of QColor::Spec, then
// alpha, three components and padding, 16 bits each. Qt keeps the spec byte
// as it comes, and a value outside QColor::Spec is undefined behaviour on the
// colour's first copy; an extended colour may carry NaN or infinite halves,
// which never compare equal nor convert to integer components. Either marks the
// stream as corrupt and reads as an invalid colour instead.
void readColor(QDataStream& stream, QColor& color)
{
    constexpr int formSize = 1 + 5 * 2;
    if (stream.version() < QDataStream::Qt_4_0) {
        stream >> color;
        return;
    }
    char form[formSize];
    if (stream.readRawData(form, formSize) != formSize) {
        stream.setStatus(QDataStream::ReadPastEnd);
        return;
    }
    const qint8 spec = static_cast<qint8>(form[0]);
    QColor read;
    bool usable = spec >= QColor::Invalid && spec <= QColor::ExtendedRgb;
    if (usable) {
        QDataStream checked(QByteArray(form, formSize));
        checked.setVersion(stream.version());
        checked.setByteOrder(stream.byteOrder());
        checked >> read;
        usable = read.spec() != QColor::ExtendedRgb || hasFiniteComponents(read);
    }
    if (!usable) {
        stream.setStatus(QDataStream::ReadCorruptData);
        read = QColor();
    }
    color = read;
}

// Takes a PNG from the stream without decoding it: the signature, then every
// chunk (length, type, data, checksum) up to and with IEND, so the picture's
// end is known and a picture refused for its size can be skipped whole.
// Sets `width` and `height` from the header chunk; false when the bytes are
// not a complete PNG.
bool takePng(QDataStream& stream, QByteArray& png, qint64& width, qint64& height)
{
    static const char signature[] = "\x89PNG\r\n\x1a\n";
    constexpr int signatureSize = 8;
    constexpr int chunkHeadSize = 8;
    constexpr int checksumSize = 4;
    QIODevice* device = stream.device();
    png = device->read(signatureSize);
    if (png != QByteArray(signature, signatureSize))
        return false;
    for (;;) {
        const QByteArray head = device->read(chunkHeadSize);
        if (head.size() != chunkHeadSize)
            return false;
        const quint32 length = qFromBigEndian<quint32>(head.constData());
        // No chunk of a record can be longer than the record itself.
        if (length > koSessionUser::maxSerializedSize)
            return false;
        const int rest = static_cast<int>(length) + checksumSize;
        const QByteArray body = device->read(rest);
        if (body.size() != rest)
            return false;
        png += head;
        png += body;
        const QByteArray type = head.mid(4, 4);
        if (type == "IHDR" && length >= 8) {
            width = qFromBigEndian<quint32>(body.constData());
            height = qFromBigEndian<quint32>(body.constData() + 4);
        }
        if (type == "IEND")
            return true;
    }
}

// Reads an image in Qt's QDataStream form (a 32-bit marker, 0 for a null
// image, then a PNG). A few hundred bytes of PNG may announce gigabytes of
// pixels, so the header decides before a pixel is decoded: a picture above
// the limits is skipped and read as a null image, the rest of the record
// intact.
void readImage(QDataStream& stream, QImage& image)
{
    if (stream.version() < QDataStream::Qt_3_1) {
        stream >> image;
        return;
    }
    qint32 marker = 0;
    stream >> marker;
    image = QImage();
    if (marker == 0 || stream.status() != QDataStream::Ok)
        return;
    QByteArray png;
    qint64 width = 0;
    qint64 height = 0;
    if (!takePng(stream, png, width, height)) {
        stream.setStatus(QDataStream::ReadPastEnd);
        return;
    }
    const int side = koSessionUser::maxDeviceImageSide;
    if (width > side || height > side) {
        koLog::warning("Participant's device picture of %lldx%lld pixels exceeds the limit of %dx%d; it is left out",
                       static_cast<long long>(width), static_cast<long long>(height), side, side);
        return;
    }
    QBuffer buffer(&png);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "png");
    image = reader.read();
    if (image.isNull())
        stream.setStatus(QDataStream::ReadPastEnd);
}

// `text`, or koNetError naming `field` when it is above the text limit.
const QString& checkedText(const char* field, const QString& text)
{
    if (text.size() <= koSessionUser::maxTextUnits)
        return text;
    throw koNetError(std::string("Participant ") + field + " of " + std::to_string(text.size())
                     + " UTF-16 units exceeds the limit of " + std::to_string(koSessionUser::maxTextUnits)
                     + "; use a shorter one");
}

} // namespace

koSessionUser::koSessionUser()
    : name(QStringLiteral("unnamed"))
    , color(Qt::red)
    , deviceName(QStringLiteral("unknown"))
{
}

void koSessionUser::setName(const QString& value)
{
    name = checkedText("name", value);
}

void koSessionUser::setProjectName(const QString& value)
{
    projectName = checkedText("project name", value);
}

void koSessionUser::setRoom(const QString& value)
{
    room = checkedText("room", value);
}

void koSessionUser::setDeviceName(const QString& value)
{
    deviceName = checkedText("device name", value);
}

void koSessionUser::checkLimits() const
{
    checkedText("name", name);
    checkedText("project name", projectName);
    checkedText("room", room);
    checkedText("device name", deviceName);
    QByteArray bytes;
    {
        QDataStream stream(&bytes, QIODevice::WriteOnly);
        put(stream);
    }
    if (static_cast<std::size_t>(bytes.size()) > maxSerializedSize)
        throw koNetError("Participant record of " + std::to_string(bytes.size()) + " bytes exceeds the limit of "
                         + std::to_string(maxSerializedSize) + " bytes; use a smaller device picture");
}

bool koSessionUser::operator!=(const koSessionUser& other) const
{
    // projectName is left out on purpose: switching projects alone is not a
    // change of the participant that the roster reports.
    return id != other.id || name != other.name || color != other.color
        || projectCRC != other.projectCRC || isHmd != other.isHmd || room != other.room
        || visible != other.visible || deviceName != other.deviceName
        || deviceImage != other.deviceImage || isSpectator != other.isSpectator
        || spectatedUserId != other.spectatedUserId || spectatorCount != other.spectatorCount;
}

// Wire order: id, name, color, projectCRC, projectName, isHmd, room, visible,
// deviceName, deviceImage, isSpectator, spectatedUserId, spectatorCount, each
// in Qt's own QDataStream form (integers big-endian).
void koSessionUser::put(QDataStream& stream) const
{
    stream << quint16(id) << name << color << quint32(projectCRC) << projectName << isHmd
           << room << visible << deviceName << deviceImage << isSpectator
           << quint16(spectatedUserId) << qint32(spectatorCount);
}

void koSessionUser::get(QDataStream& stream)
{
    quint16 newId = 0;
    quint32 newProjectCRC = 0;
    quint16 newSpectatedUserId = 0;
    qint32 newSpectatorCount = 0;
    stream >> newId >> name;
    readColor(stream, color);
    stream >> newProjectCRC >> projectName >> isHmd >> room >> visible >> deviceName;
    readImage(stream, deviceImage);
    stream >> isSpectator >> newSpectatedUserId >> newSpectatorCount;
    id = newId;
    projectCRC = newProjectCRC;
    spectatedUserId = newSpectatedUserId;
    spectatorCount = newSpectatorCount;
}

void koSessionUser::putValue(koNetSerializer& serializer) const
{
    QByteArray bytes;
    {
        QDataStream stream(&bytes, QIODevice::WriteOnly);
        put(stream);
    }
    serializer.putValueSize(static_cast<std::size_t>(bytes.size()));
    serializer.putBytes(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

void koSessionUser::getValue(koNetSerializer& serializer)
{
    const std::size_t size = serializer.getValueSize();
    if (size > maxSerializedSize) {
        const std::string message = "Participant record of " + std::to_string(size)
            + " bytes exceeds the limit of " + std::to_string(maxSerializedSize) + " bytes";
        koLog::error("%s", message.c_str());
        throw koNetError(message);
    }
    QByteArray bytes(static_cast<int>(size), Qt::Uninitialized);
    serializer.getBytes(bytes.data(), size);
    QDataStream stream(bytes);
    get(stream);
}

QImage koSessionUser::getIcon() const
{
    QPixmap pixmap = QPixmap::fromImage(deviceImage);
    const QBitmap mask = pixmap.createMaskFromColor(Qt::transparent, Qt::MaskInColor);
    pixmap.fill(color);
    pixmap.setMask(mask);
    if (spectatorCount > 0)
        paintSpectatorBadge(pixmap);
    return pixmap.toImage();
}

void koSessionUser::paintSpectatorBadge(QPixmap& pixmap) const
{
    QPainter painter(&pixmap);
    QFont font = painter.font();
    // A font may be sized in pixels, in which case it has no point size.
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * 3);
    else
        font.setPixelSize(font.pixelSize() * 3);
    painter.setFont(font);

    const QRect badge(18, 2, pixmap.width() - 20, pixmap.height() - 20);
    painter.setPen(QPen(QColor(Qt::transparent)));
    painter.setBrush(QBrush(QColor(27, 29, 32, 200), Qt::SolidPattern));
    painter.drawEllipse(badge);

    painter.setPen(QPen(QColor(250, 186, 3, 255)));
    painter.drawText(badge, Qt::AlignHCenter | Qt::AlignVCenter, QString::number(spectatorCount));
}
