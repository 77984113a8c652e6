#include "ui/PairingPanel.h"

#include "api/PairingSession.h"
#include "common/QrCode.h"

#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillet {

namespace {

constexpr int quietZone = 4; // modules of white around the symbol, so dark themes scan too
constexpr int qrDisplaySize = 200;

QLabel *secondaryText(const QString &text, QWidget *parent) {
    auto *label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    label->setEnabled(false);
    return label;
}

} // namespace

QImage PairingPanel::qrImage(const QByteArray &payload, int scale) {
    const auto symbol = QrCode::encode(payload);
    if (!symbol || scale < 1)
        return {};
    const int side = (symbol->size() + 2 * quietZone) * scale;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    for (int y = 0; y < symbol->size(); ++y) {
        for (int x = 0; x < symbol->size(); ++x) {
            if (symbol->isDark(x, y))
                painter.fillRect((x + quietZone) * scale, (y + quietZone) * scale, scale, scale,
                                 Qt::black);
        }
    }
    return image;
}

PairingPanel::PairingPanel(APIService &api, QWidget *parent)
    : QWidget(parent), m_session(new PairingSession(api, this)) {
    setObjectName(QStringLiteral("pairingPanel"));
    setFixedWidth(320);

    auto *title = new QLabel(QStringLiteral("Pair Device"), this);
    QFont titleFont = title->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.4);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignCenter);

    m_loading = new QWidget(this);
    m_loading->setObjectName(QStringLiteral("loadingArea"));
    auto *spinner = new QProgressBar(m_loading);
    spinner->setRange(0, 0);
    spinner->setTextVisible(false);
    spinner->setMaximumWidth(120);
    auto *loadingLayout = new QVBoxLayout(m_loading);
    loadingLayout->addWidget(spinner, 0, Qt::AlignHCenter);
    loadingLayout->addWidget(secondaryText(QStringLiteral("Generating code..."), m_loading));

    m_codeArea = new QWidget(this);
    m_codeArea->setObjectName(QStringLiteral("codeArea"));
    m_qr = new QLabel(m_codeArea);
    m_qr->setObjectName(QStringLiteral("qrImage"));
    m_qr->setFixedSize(qrDisplaySize, qrDisplaySize);
    m_qr->setAccessibleName(QStringLiteral("QR code for pairing"));
    auto *divider = new QFrame(m_codeArea);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    m_code = new QLabel(m_codeArea);
    m_code->setObjectName(QStringLiteral("codeLabel"));
    QFont codeFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    codeFont.setPointSize(36);
    codeFont.setBold(true);
    m_code->setFont(codeFont);
    m_code->setAlignment(Qt::AlignCenter);
    m_code->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_expiry = new QLabel(m_codeArea);
    m_expiry->setObjectName(QStringLiteral("expiryLabel"));
    m_expiry->setAlignment(Qt::AlignCenter);
    QFont caption = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    caption.setPointSizeF(m_expiry->font().pointSizeF() * 0.85);
    m_expiry->setFont(caption);
    auto *codeLayout = new QVBoxLayout(m_codeArea);
    codeLayout->setSpacing(12);
    codeLayout->addWidget(m_qr, 0, Qt::AlignHCenter);
    codeLayout->addWidget(secondaryText(
        QStringLiteral("Scan this QR code with the Quillet app on your device"), m_codeArea));
    codeLayout->addWidget(divider);
    codeLayout->addWidget(
        secondaryText(QStringLiteral("Or enter this code manually:"), m_codeArea));
    codeLayout->addWidget(m_code);
    codeLayout->addWidget(m_expiry);

    m_errorArea = new QWidget(this);
    m_errorArea->setObjectName(QStringLiteral("errorArea"));
    m_error = new QLabel(m_errorArea);
    m_error->setObjectName(QStringLiteral("errorLabel"));
    m_error->setStyleSheet(QStringLiteral("color: #d70015;"));
    m_error->setWordWrap(true);
    m_error->setAlignment(Qt::AlignCenter);
    auto *retry = new QPushButton(QStringLiteral("Retry"), m_errorArea);
    retry->setObjectName(QStringLiteral("retryButton"));
    auto *errorLayout = new QVBoxLayout(m_errorArea);
    errorLayout->addWidget(m_error);
    errorLayout->addWidget(retry, 0, Qt::AlignHCenter);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(20);
    layout->addStretch(1);
    layout->addWidget(title);
    layout->addWidget(m_loading);
    layout->addWidget(m_codeArea);
    layout->addWidget(m_errorArea);
    layout->addStretch(1);

    connect(m_session, &PairingSession::changed, this, &PairingPanel::refresh);
    connect(m_session, &PairingSession::paired, this, [this] {
        Q_EMIT devicePaired();
        // The window that shows the panel has done its work.
        window()->close();
    });
    connect(retry, &QPushButton::clicked, m_session, &PairingSession::retry);
    refresh();
}

PairingPanel::~PairingPanel() {
    m_session->stop();
}

void PairingPanel::refresh() {
    const auto code = m_session->code();
    const bool loading = m_session->isLoading();
    m_loading->setVisible(loading);
    m_codeArea->setVisible(!loading && code.has_value());
    m_errorArea->setVisible(!loading && !code && m_session->errorMessage().has_value());
    m_error->setText(m_session->errorMessage().value_or(QString()));
    if (code && *code != m_shownCode) {
        m_shownCode = *code;
        m_code->setText(PairingSession::displayCode(*code));
        const QImage image = qrImage(PairingSession::qrPayload(PairingSession::serverURL(), *code));
        // Modules stay sharp: nearest-neighbour, no smoothing.
        m_qr->setPixmap(image.isNull() ? QPixmap()
                                       : QPixmap::fromImage(image.scaled(
                                             qrDisplaySize * devicePixelRatio(),
                                             qrDisplaySize * devicePixelRatio(),
                                             Qt::IgnoreAspectRatio, Qt::FastTransformation)));
    }
    const auto remaining = m_session->remainingSeconds();
    m_expiry->setVisible(remaining && *remaining > 0);
    if (remaining && *remaining > 0) {
        m_expiry->setText(PairingSession::expiryText(*remaining));
        m_expiry->setStyleSheet(*remaining > 29 ? QStringLiteral("color: palette(mid);")
                                                : QStringLiteral("color: #d70015;"));
    }
}

void PairingPanel::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    m_session->start();
}

void PairingPanel::hideEvent(QHideEvent *event) {
    m_session->stop();
    QWidget::hideEvent(event);
}

} // namespace quillet
