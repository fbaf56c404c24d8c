// The wizard's pages need an application object; they are drawn offscreen.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>

namespace {

QtMessageHandler g_previous = nullptr;

// The offscreen platform cannot raise a window and says so each time a page comes forward.
void QuietOffscreenNotices(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.startsWith("This plugin does not support")) return;
    if (g_previous) {
        g_previous(type, context, text);
    } else {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    g_previous = qInstallMessageHandler(QuietOffscreenNotices);
    QApplication app(argc, argv);
    // The pages come and go; the program ends only when the wizard says so.
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
