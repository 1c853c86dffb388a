#pragma once

// A stand-in for a host application's own module: a shared library of its own
// that registers two command classes with the factory when it is loaded, in one
// translation unit: "HostModuleFirst", then "HostModuleSecond".

#include "koSessionCommand.h"

#include <QtGlobal>

#include <typeinfo>

class Q_DECL_EXPORT koTestHostCommand : public koSessionCommand
{
public:
    void putData(QDataStream& stream) const override;
    void getData(QDataStream& stream) override;

    qint32 value = 0;
};

class Q_DECL_EXPORT koTestHostOtherCommand : public koSessionCommand
{
};

// The module's view of its own class, to compare with what the factory creates.
Q_DECL_EXPORT const std::type_info& koTestHostCommandClass();
