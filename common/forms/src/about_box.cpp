#include "kelvor/about_box.h"

#include <sys/stat.h>

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kelvor::forms {

namespace {

bool g_hasDisplay = false;

QPixmap programIcon() {
    QPixmap pm(48, 48);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(0x1f, 0x4e, 0x79));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(2, 2, 44, 44, 8, 8);
    p.setPen(Qt::white);
    QFont f = p.font();
    f.setBold(true);
    f.setPixelSize(28);
    p.setFont(f);
    p.drawText(QRect(2, 2, 44, 44), Qt::AlignCenter, "K");
    return pm;
}

}  // namespace

bool PrepareDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    std::string p = platform ? platform : "";
    // Drawing offscreen is no display: a modal box there could never be answered, and the
    // server would stop serving everyone.
    bool headless = p == "offscreen" || p == "minimal";
    if (!headless && (!p.empty() || (x11 && *x11) || (wayland && *wayland))) {
        // A display that cannot be reached (a stale DISPLAY, an X server gone) must not stop
        // the server from starting: Qt would abort. Qt tries the platforms of a list in
        // order, and drawing offscreen is the last resort; HasDisplay() then says no.
        if (p.empty()) p = std::string(wayland && *wayland ? "wayland;" : "") + "xcb";
        if (p.find("offscreen") == std::string::npos) p += ";offscreen";
        ::setenv("QT_QPA_PLATFORM", p.c_str(), 1);
        g_hasDisplay = true;
    } else {
        if (p.empty()) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        g_hasDisplay = false;
    }
    return g_hasDisplay;
}

bool HasDisplay() {
    if (!g_hasDisplay || !qApp) return g_hasDisplay;
    QString used = QGuiApplication::platformName();
    return used != "offscreen" && used != "minimal";
}

bool GetKeyValue(HKEY KeyRoot, const std::string& KeyName, const std::string& SubKeyRef,
                 std::string& KeyVal) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(KeyRoot, KeyName.c_str(), 0, 0x2003F, &key) != ERROR_SUCCESS) {
        KeyVal = "";
        return false;
    }
    char buf[1024];
    std::memset(buf, 0, sizeof buf);
    DWORD size = sizeof buf, type = 0;
    if (RegQueryValueExA(key, SubKeyRef.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf),
                         &size) != ERROR_SUCCESS) {
        KeyVal = "";
        RegCloseKey(key);
        return false;
    }
    // The size counts the bytes written; a closing zero at that position is not text.
    std::string kept =
        size > 0 && buf[size - 1] == '\0' ? std::string(buf, size - 1) : std::string(buf, size);
    if (type == REG_SZ) {
        KeyVal = kept;
    } else if (type == REG_DWORD) {
        // The bytes from last to first, each in hexadecimal without leading zeros, read as
        // one hexadecimal number.
        std::string hex;
        char part[4];
        for (size_t i = kept.size(); i-- > 0;) {
            std::snprintf(part, sizeof part, "%X", static_cast<unsigned char>(kept[i]));
            hex += part;
        }
        KeyVal = std::to_string(std::strtoull(hex.c_str(), nullptr, 16));
    }
    RegCloseKey(key);
    return true;
}

void StartSysInfo() {
    std::string path;
    if (!GetKeyValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH",
                     path)) {
        std::string folder;
        struct stat sb;
        if (GetKeyValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Shared Tools Location", "MSINFO",
                        folder) &&
            ::stat((folder + "/MSINFO32.EXE").c_str(), &sb) == 0) {
            path = folder + "/MSINFO32.EXE";
        } else {
            path.clear();
        }
    }
    if (!path.empty() && QProcess::startDetached(QString::fromStdString(path), {})) return;
    QMessageBox::information(nullptr, QApplication::applicationName(),
                             "System Information Is Unavailable At This Time", QMessageBox::Ok);
}

frmAbout::frmAbout(const QString& caption, const QString& title, QWidget* parent)
    : QWidget(parent) {
    setObjectName("frmAbout");
    setWindowTitle(caption);
    setAttribute(Qt::WA_DeleteOnClose);
    Image1 = new QLabel(this);
    Image1->setObjectName("Image1");
    Image1->setPixmap(programIcon());
    lblTitle = new QLabel(title, this);
    lblTitle->setObjectName("lblTitle");
    QFont f = lblTitle->font();
    f.setBold(true);
    f.setPointSizeF(f.pointSizeF() * 1.3);
    lblTitle->setFont(f);
    lblVersion = new QLabel(this);
    lblVersion->setObjectName("lblVersion");
    QStringList v = QApplication::applicationVersion().split('.');
    while (v.size() < 3) v << "0";
    lblVersion->setText("Version " + QString::number(v[0].toInt()) + "." +
                        QString::number(v[1].toInt()) + "." + QString::number(v[2].toInt()));
    lblDescription = new QLabel(this);
    lblDescription->setObjectName("lblDescription");
    lblDescription->setWordWrap(true);
    lblDescription->setText(
        "Kelvor keeps the collectors' work queue: it ranks the customers who need a call by "
        "the age of their debt, their credit limits, promises and call-backs.");
    Line1 = new QFrame(this);
    Line1->setObjectName("Line1");
    Line1->setFrameShape(QFrame::HLine);
    Line1->setFrameShadow(QFrame::Sunken);
    lblDisclaimer = new QLabel(this);
    lblDisclaimer->setObjectName("lblDisclaimer");
    lblDisclaimer->setWordWrap(true);
    lblDisclaimer->setText(
        "Warning: this program is protected by copyright law. Copying or distributing it, or "
        "any part of it, without permission may be punished as far as the law allows.");
    cmdOK = new QPushButton("OK", this);
    cmdOK->setObjectName("cmdOK");
    cmdOK->setDefault(true);
    cmdSysInfo = new QPushButton("&System Info...", this);
    cmdSysInfo->setObjectName("cmdSysInfo");

    auto* top = new QHBoxLayout;
    top->addWidget(Image1, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    texts->addWidget(lblTitle);
    texts->addWidget(lblVersion);
    texts->addWidget(lblDescription);
    top->addLayout(texts, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(lblDisclaimer, 1);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdSysInfo);
    buttons->addStretch();
    bottom->addLayout(buttons);
    auto* all = new QVBoxLayout(this);
    all->addLayout(top);
    all->addWidget(Line1);
    all->addLayout(bottom);
    setMinimumWidth(460);

    connect(cmdOK, &QPushButton::clicked, this, &QWidget::close);
    connect(cmdSysInfo, &QPushButton::clicked, this, [] { StartSysInfo(); });
}

int16_t ShowAbout(const QString& caption, const QString& title,
                  const std::function<void(bool)>& loaded) {
    static QPointer<frmAbout> form;
    try {
        if (!HasDisplay()) return 0;
        if (!form) {
            form = new frmAbout(caption, title);
            if (loaded) {
                loaded(true);
                QObject::connect(form, &QObject::destroyed, [loaded] { loaded(false); });
            }
        }
        form->show();
        form->raise();
        form->activateWindow();
        return -1;
    } catch (...) {
        return 0;
    }
}

}  // namespace kelvor::forms
