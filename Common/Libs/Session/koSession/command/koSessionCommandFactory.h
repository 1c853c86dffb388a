#pragma once

#include "koSessionExport.h"

#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <typeindex>
#include <typeinfo>

class koSessionCommand;

// The process-wide registry of command classes. A class is registered under a
// name; the name gives the 32-bit command type that travels in every change
// record, and from a type the factory creates an empty command of that class.
//
// Threads: registration happens only while libraries load (static Register<T>
// objects), before any session thread runs; afterwards the tables are read-only
// and every other operation may be called from any thread without a lock.
class KOSESSION_EXPORT koSessionCommandFactory
{
public:
    using Creator = std::function<koSessionCommand*()>;

    // Registers T under `name` when constructed. Define one static object per
    // command class, in the library or in a host application's own module; the
    // objects of one translation unit register in the order of their definitions.
    template <class T>
    class Register
    {
    public:
        explicit Register(const char* name)
        {
            the().registerCommand(typeid(T), name, creatorOf<T>());
        }
    };

    koSessionCommandFactory();
    koSessionCommandFactory(const koSessionCommandFactory& other);
    koSessionCommandFactory(koSessionCommandFactory&& other);
    koSessionCommandFactory& operator=(const koSessionCommandFactory& other);
    koSessionCommandFactory& operator=(koSessionCommandFactory&& other);
    ~koSessionCommandFactory();

    // The one instance, made on the first call and never destroyed. The first
    // call is not guarded: it happens while the libraries load.
    static koSessionCommandFactory& the();

    // Command type of any name, registered or not: the first four bytes of the
    // MD4 digest of the lower-case UTF-8 name, least significant first.
    unsigned int getType(const char* name) const;
    // Type under which the command's run-time class was registered; 0, with an
    // error line in the log, when it was not.
    unsigned int getType(const koSessionCommand* command) const;
    // A new default-constructed command of the class registered under `type`,
    // owned by the caller; empty when no class is. Throws std::bad_function_call
    // when the slot holds an empty creator.
    std::shared_ptr<koSessionCommand> create(unsigned int type) const;
    // Registered names as given, in order of registration (repeats included).
    QStringList getTypeNames() const;

private:
    template <class T>
    static Creator creatorOf()
    {
        return []() -> koSessionCommand* { return new T(); };
    }

    void registerCommand(std::type_index type, const char* name, Creator creator);
    // Registers the class and its creator without listing the name: for the
    // library's own records that hosts never see among their commands.
    void registerUnlisted(std::type_index type, const char* name, Creator creator);

    // Zero-initialised before any constructor of any module runs, so a Register
    // object may call the() whatever the order of static initialisation.
    static koSessionCommandFactory* s_the;

    std::map<unsigned int, Creator> creators;
    std::map<std::type_index, unsigned int> types;
    QStringList names;
};
