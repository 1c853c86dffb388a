#include "koSessionSceneQuestionBox.h"

#include "koLog.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>

bool koSessionSceneQuestionBox::ask()
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        // A message box without a widget application would end the process.
        koLog::warning("No user interface to ask about the session's scene; declining it");
        return false;
    }
    // Translated in the client's context, where a host's translations have
    // always found these texts.
    const auto answer = QMessageBox::warning(
        nullptr, QCoreApplication::translate("koSessionClient", "Download KOVA Scene"),
        QCoreApplication::translate(
            "koSessionClient",
            "Another participant provided a KOVA scene for the session. Continuing loads the scene "
            "from the collaboration server. Your current scene will be destroyed. This action cannot "
            "be undone. Do you want to continue?"),
        QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok);
    return answer != QMessageBox::Cancel;
}
