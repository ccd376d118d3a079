// The Qt module's readers of outside text: link detection in log messages
// (which carry file names and tag texts), the frame editors' entry checks and
// the genre text built from list entries. The first byte picks the frame.
#include <cstdint>
#include <cstdlib>

#include <QString>
#include <QStringList>
#include <QUrl>

#include "tallory/metadata.h"
#include "ui/frame_editors.h"
#include "ui/link_opener.h"

namespace {

constexpr int kFrames[] = {METADATA_FRAME_TYER, METADATA_FRAME_TCOP, METADATA_FRAME_TDAT,
                           METADATA_FRAME_TIME, METADATA_FRAME_TRCK, METADATA_FRAME_TPOS};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));

    // The spans give the text back whole, links only where a scheme starts them.
    QString joined;
    for (const tallory::ui::LinkSpan& span : tallory::ui::splitLinks(text)) {
        if (span.isLink && span.text.isEmpty()) std::abort();
        tallory::ui::isOpenableLink(QUrl(span.text));
        joined += span.text;
    }
    if (joined != text) std::abort();

    const int frame = kFrames[data[0] % (sizeof kFrames / sizeof kFrames[0])];
    const QString problem = tallory::ui::textEntryProblem(frame, text);
    // DDMM is four characters exactly.
    if (problem.isEmpty() && frame == METADATA_FRAME_TDAT && text.size() != 4) std::abort();

    const QString genre = tallory::ui::genreText(text.split(QChar('\n')));
    (void)genre;
    tallory::ui::looksLikeUrl(text);
    return 0;
}
