#pragma once

#include <QJsonObject>

namespace quillet::test {

// tests/support/webpush/read.mjs: reads what the server sends to push services with code it does
// not share (http_ece for message bodies, Node's crypto for VAPID tokens). Answers
// {"skip": why} when node or the package is missing.
class WebPushReader {
public:
    static QJsonObject read(const QJsonObject &request);
};

} // namespace quillet::test

#define SKIP_WITHOUT_WEBPUSH_READER(answer)                                                        \
    if ((answer).contains(QStringLiteral("skip")))                                                 \
        QSKIP(qPrintable((answer).value(QStringLiteral("skip")).toString()));
