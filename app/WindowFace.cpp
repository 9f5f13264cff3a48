#include "WindowFace.h"

#include "NewMailNotice.h"
#include "QtText.h"

#include <QDialog>
#include <QLabel>

void ShowWindowFace(MainWindow& window, const TrayFace& face, const QIcon& picture, const QIcon& appIcon)
{
    const bool normal = face.picture == TrayPicture::Normal;
    // The first line: the new-mail face's tooltip goes on with the status below it.
    const std::string_view state = std::string_view(face.toolTip).substr(0, face.toolTip.find('\n'));
    window.dialog->setWindowTitle(normal ? QStringLiteral("Postbell") : QStringLiteral("Postbell - ") + ToQString(state));
    window.dialog->setWindowIcon(normal ? appIcon : picture);
}

void ShowUnseenCount(MainWindow& window, std::size_t count)
{
    window.unseenLabel->setText(count == 0 ? QString() : ToQString(NewMessagesText(count)));
}
