#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class QSocketNotifier;

// Reads the participant's commands, one per line, from standard input
// without ever blocking the event loop: a line is read only once the input
// has something to give. Each line is split into its first word, the verb,
// and the rest. Main thread.
class koCommandReader : public QObject
{
    Q_OBJECT

public:
    koCommandReader();
    ~koCommandReader() override;

    // Starts watching standard input.
    void start();

signals:
    // A line that is not blank; `verb` is lower case, `rest` has no leading
    // or trailing blanks.
    void commandRead(const QString& verb, const QString& rest);
    // Standard input was closed (end of file or a read error).
    void inputClosed();

private:
    void readInput();
    void splitLine(const QByteArray& line);

    std::unique_ptr<QSocketNotifier> notifier;
    QByteArray pending; // read, not yet ended by a newline
};
