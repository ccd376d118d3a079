// tallory-gui: a small desktop front end over libtallory and libtallory-ui.
#include <QApplication>
#include <QCommandLineParser>

#include "main_window.h"
#include "tallory/ui.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tallory-gui"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tallory"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Converts audio files with Tallory."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("Files or folders to add."), "[files...]");
    parser.process(app);
    // Linking libtallory-ui is what registers its windows; this keeps the link.
    IErrorLog* probe = nullptr;
    if (SUCCEEDED(CreateErrorLog(&probe)) && probe != nullptr) probe->Destroy();
    tallory::gui::MainWindow window;
    window.addPaths(parser.positionalArguments());
    window.show();
    return app.exec();
}
