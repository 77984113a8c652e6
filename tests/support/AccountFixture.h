#pragma once

#include "api/APIService.h"
#include "api/FileCredentialBackend.h"
#include "api/KeychainService.h"
#include "common/Settings.h"
#include "support/FakeServer.h"

#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace quillet::test {

// The set-up of the account side's tests, as a base of the test class: a fake server the settings
// point at, a credential file of the test's own, and the account client on it.
class AccountFixture {
protected:
    void initAccount() {
        m_server = std::make_unique<FakeServer>();
        m_keychain = std::make_unique<KeychainService>(std::make_unique<FileCredentialBackend>(
            m_dir.path() + QStringLiteral("/%1-%2.json")
                               .arg(QTest::currentTestFunction(), QTest::currentDataTag())));
        m_api = std::make_unique<APIService>(*m_keychain);
        Settings::write(Settings::serverURL, m_server->baseUrl());
    }
    void cleanupAccount() {
        // Let the network stack's HTTP thread release the last connection before the manager
        // goes; destroying it at once can strand that connection (a leak under the sanitizer).
        QTest::qWait(20);
        m_api.reset();
        m_server.reset();
    }

    QTemporaryDir m_dir;
    std::unique_ptr<FakeServer> m_server;
    std::unique_ptr<KeychainService> m_keychain;
    std::unique_ptr<APIService> m_api;
};

} // namespace quillet::test
