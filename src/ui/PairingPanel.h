#pragma once

#include <QImage>
#include <QWidget>

class QLabel;
class QPushButton;

namespace quillet {

class APIService;
class PairingSession;

// The pairing code as QR image and as text, with its countdown. Runs while shown: a new code
// when the old one runs out, and a check for a newly paired device every two seconds, after
// which the panel's window closes.
class PairingPanel : public QWidget {
    Q_OBJECT
public:
    explicit PairingPanel(APIService &api, QWidget *parent = nullptr);
    ~PairingPanel() override;

    PairingSession &session() const { return *m_session; }

    // The QR symbol of `payload` with its quiet zone, `scale` pixels per module, black on
    // white; a null image when it cannot be encoded.
    static QImage qrImage(const QByteArray &payload, int scale = 10);

Q_SIGNALS:
    void devicePaired();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void refresh();

    PairingSession *m_session;
    QWidget *m_loading;
    QWidget *m_codeArea;
    QLabel *m_qr;
    QLabel *m_code;
    QLabel *m_expiry;
    QWidget *m_errorArea;
    QLabel *m_error;
    QString m_shownCode;
};

} // namespace quillet
