#include "support/LogCapture.h"

namespace quillet::test {

LogCapture::LogCapture() {
    s_current = this;
    m_previous = qInstallMessageHandler(&LogCapture::handle);
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(m_previous);
    s_current = nullptr;
}

QStringList LogCapture::messages() const {
    QMutexLocker lock(&m_mutex);
    return m_messages;
}

QStringList LogCapture::matching(const QString &text) const {
    return messages().filter(text);
}

void LogCapture::clear() {
    QMutexLocker lock(&m_mutex);
    m_messages.clear();
}

void LogCapture::handle(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (LogCapture *capture = s_current) {
        {
            QMutexLocker lock(&capture->m_mutex);
            capture->m_messages << QString::fromUtf8(context.category) + QStringLiteral(": ") +
                                       message;
        }
        if (capture->m_previous)
            capture->m_previous(type, context, message);
    }
}

} // namespace quillet::test
