#include "ui/link_opener.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

namespace tallory::ui {

namespace {

// A link runs to the next blank; trailing punctuation belongs to the sentence.
const QRegularExpression& linkPattern() {
    static const QRegularExpression pattern(QStringLiteral(R"((?:https?://|ftp://|file://|mailto:)[^\s<>"]+)"),
                                            QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

}  // namespace

QVector<LinkSpan> splitLinks(const QString& text) {
    QVector<LinkSpan> spans;
    qsizetype at = 0;
    auto it = linkPattern().globalMatch(text);
    while (it.hasNext()) {
        QRegularExpressionMatch m = it.next();
        QString link = m.captured(0);
        while (!link.isEmpty() && QStringLiteral(".,;:!?)]}'").contains(link.back())) link.chop(1);
        if (link.endsWith(':') || link.isEmpty()) continue;
        if (m.capturedStart(0) > at) spans.push_back({text.mid(at, m.capturedStart(0) - at), false});
        spans.push_back({link, true});
        at = m.capturedStart(0) + link.size();
    }
    if (at < text.size()) spans.push_back({text.mid(at), false});
    return spans;
}

bool isOpenableLink(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == "http" || scheme == "https" || scheme == "ftp" || scheme == "file" ||
                             scheme == "mailto");
}

bool openUrl(const QUrl& url) {
    if (!isOpenableLink(url)) return false;
    // The program and its one argument go straight to exec: no shell sees the link.
    return QProcess::startDetached(QStringLiteral("xdg-open"), QStringList{url.toString(QUrl::FullyEncoded)});
}

}  // namespace tallory::ui
