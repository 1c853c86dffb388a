#include "koSessionCommandFactory.h"

#include "koSessionCommand.h"
#include "koSessionEndCommand.h"
#include "koSessionUserInfoCommand.h"
#include "koSessionUserPoseCommand.h"
#include "koSessionUsersCommand.h"

#include "koLog.h"

#include <QCryptographicHash>
#include <QString>

koSessionCommandFactory* koSessionCommandFactory::s_the = nullptr;

koSessionCommandFactory::koSessionCommandFactory() = default;
koSessionCommandFactory::koSessionCommandFactory(const koSessionCommandFactory& other) = default;
koSessionCommandFactory::koSessionCommandFactory(koSessionCommandFactory&& other) = default;
koSessionCommandFactory& koSessionCommandFactory::operator=(const koSessionCommandFactory& other) = default;
koSessionCommandFactory& koSessionCommandFactory::operator=(koSessionCommandFactory&& other) = default;
koSessionCommandFactory::~koSessionCommandFactory() = default;

koSessionCommandFactory& koSessionCommandFactory::the()
{
    if (!s_the) {
        s_the = new koSessionCommandFactory;
        // The library's own commands, first whoever asks first (each Register
        // finds s_the set). Registered here rather than by static objects of a
        // source of their own, which a static link of the library leaves out.
        Register<koSessionUserInfoCommand>("UpdateInfo");
        Register<koSessionUserPoseCommand>("UpdatePose");
        Register<koSessionUsersCommand>("UpdateUsers");
        // Known to the library only: hosts list their commands behind the three above.
        s_the->registerUnlisted(typeid(koSessionEndCommand), "EndSession", creatorOf<koSessionEndCommand>());
    }
    return *s_the;
}

unsigned int koSessionCommandFactory::getType(const char* name) const
{
    const QByteArray lower = QString::fromUtf8(name).toLower().toUtf8();
    const QByteArray digest = QCryptographicHash::hash(lower, QCryptographicHash::Md4);
    unsigned int type = 0;
    for (int i = 3; i >= 0; --i)
        type = (type << 8) | static_cast<unsigned char>(digest.at(i));
    return type;
}

unsigned int koSessionCommandFactory::getType(const koSessionCommand* command) const
{
    const std::type_info& runtimeClass = typeid(*command);
    const auto found = types.find(std::type_index(runtimeClass));
    if (found != types.end())
        return found->second;
    koLog::error("Session command has not been registered %s\n", runtimeClass.name());
    return 0;
}

std::shared_ptr<koSessionCommand> koSessionCommandFactory::create(unsigned int type) const
{
    const auto found = creators.find(type);
    if (found == creators.end())
        return {};
    return std::shared_ptr<koSessionCommand>(found->second());
}

QStringList koSessionCommandFactory::getTypeNames() const
{
    return names;
}

void koSessionCommandFactory::registerCommand(std::type_index type, const char* name, Creator creator)
{
    registerUnlisted(type, name, std::move(creator));
    names.append(QString::fromUtf8(name));
}

void koSessionCommandFactory::registerUnlisted(std::type_index type, const char* name, Creator creator)
{
    const unsigned int commandType = getType(name);
    types[type] = commandType;
    creators[commandType] = std::move(creator);
}
