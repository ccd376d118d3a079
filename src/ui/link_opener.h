// Links in log text: where they are, and opening them with the desktop's opener.
#ifndef TALLORY_UI_LINK_OPENER_H
#define TALLORY_UI_LINK_OPENER_H

#include <QString>
#include <QUrl>
#include <QVector>

namespace tallory::ui {

struct LinkSpan {
    QString text;
    bool isLink = false;
};

// The text cut into plain runs and links (http, https, ftp, file and mailto).
QVector<LinkSpan> splitLinks(const QString& text);
// True for the schemes a log link may open.
bool isOpenableLink(const QUrl& url);
// Starts the desktop opener (xdg-open) with the link as its one argument, no
// shell between; false for another scheme or when the opener cannot start.
bool openUrl(const QUrl& url);

}  // namespace tallory::ui

#endif
