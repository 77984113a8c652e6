#include "support/RelayAccount.h"

#include "api/KeychainService.h"
#include "common/Settings.h"
#include "support/HttpClient.h"
#include "support/RelayProcess.h"
#include "support/RunQuillet.h"
#include "support/TestEnvironment.h"

namespace quillet::test {

RelayAccount RelayAccount::create(const RelayProcess &relay) {
    // Signed in to another relay, `register` would take this one's tokens for that one's.
    QFile::remove(TestEnvironment::current()->dataHome() + "/Quillet/credentials.json");
    RelayAccount account;
    if (runQuillet({"register", "--server", relay.baseUrl(), "--username", "ann"}).status != 0)
        return account;
    account.agentKey = Settings::readTextOrEmpty(Settings::agentApiKey);
    const QString access =
        KeychainService::shared().load(KeychainService::accessTokenKey).value_or(QString());
    HttpClient http(relay.baseUrl());
    const QString code = http.json("POST", "/api/pair/initiate", {}, access).text("code");
    account.phoneToken =
        http.json("POST", "/api/pair/complete",
                  {{"code", code}, {"device_name", "Pixel"}, {"device_type", "android"}})
            .text("device_token");
    return account;
}

} // namespace quillet::test
