#include "kelvor/about_box.h"

#include <sys/stat.h>

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstring>
#include <string>

namespace kelvor::forms {

namespace {

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

}  // namespace kelvor::forms
