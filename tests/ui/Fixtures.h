#pragma once

#include "api/APIService.h"
#include "api/AuthViewModel.h"
#include "api/KeychainService.h"
#include "common/Settings.h"
#include "projects/Project.h"
#include "support/AwaitTask.h"
#include "support/FakeServer.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>

namespace quillet::test {

// Signs `model` in against `server` the way a restart does: a stored refresh token that the
// server accepts.
inline void signIn(AuthViewModel &model, APIService &api, FakeServer &server) {
    Settings::write(Settings::serverURL, server.baseUrl());
    server.on("POST", QStringLiteral("/api/auth/refresh"),
              FakeResponse::json(
                  200, QJsonObject{{"access_token", "access"}, {"refresh_token", "refresh"}}));
    api.keychain().save(QStringLiteral("refresh"), KeychainService::refreshTokenKey);
    awaitTask(model.checkExistingSession(), 10000);
}

inline FakeResponse deviceList(int count, const QString &type = QStringLiteral("ios")) {
    QJsonArray list;
    for (int i = 1; i <= count; ++i)
        list.append(QJsonObject{{"id", QStringLiteral("d%1").arg(i)},
                                {"device_name", QStringLiteral("Phone %1").arg(i)},
                                {"device_type", type},
                                {"created_at", "t"},
                                {"last_seen_at", "t"}});
    return FakeResponse::json(200, list);
}

// A project as the add sheet would make it, never used yet.
inline Project sampleProject(const QString &name, const QString &directory = QDir::tempPath(),
                             CodingTool tool = CodingTool::generic) {
    Project p;
    p.id = QUuid::createUuid();
    p.name = name;
    p.directory = directory;
    p.tmuxSessionName = sessionName(name);
    p.tool = tool;
    p.launchCommand = defaultLaunchCommand(tool);
    p.createdAt = QDateTime::currentDateTimeUtc();
    return p;
}

} // namespace quillet::test
