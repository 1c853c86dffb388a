#pragma once

#include <QByteArray>
#include <QString>

// Moves a scene file between this participant and the session server and
// tells the terminal how it went (size, time, rate). Both operations block
// the main thread for the transfer; the progress bar shows how far it got
// and Ctrl-C aborts it. Main thread, while the session is active.
class koSceneTransfer
{
public:
    // What a LoadScene announcement said about the stored scene.
    struct Announcement
    {
        QString name;
        qint64 size = -1; // -1: nothing announced yet
        QByteArray checksum;
    };

    // Stores the file on the server under its file name, then announces it
    // to the others with a LoadScene command. False (and a message) when the
    // file cannot be read or the upload fails.
    static bool upload(const QString& path);
    // Fetches the stored scene into the file at `path` and checks it against
    // `announced` when that describes it. False (and a message) when nothing
    // or not all of it arrived, or it cannot be written.
    static bool download(const QString& path, const Announcement& announced);
};
