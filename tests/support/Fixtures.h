#pragma once

#include "api/APIService.h"
#include "api/AuthViewModel.h"
#include "api/KeychainService.h"
#include "common/Settings.h"
#include "projects/Project.h"
#include "support/AwaitTask.h"
#include "support/FakeServer.h"

#include <QDir>
#include <QFile>
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

// Phones "Phone 1" to "Phone <count>", ids "d1"... as the server lists them.
inline QJsonArray devices(int count, const QString &type = QStringLiteral("ios")) {
    QJsonArray list;
    for (int i = 1; i <= count; ++i)
        list.append(QJsonObject{{"id", QStringLiteral("d%1").arg(i)},
                                {"device_name", QStringLiteral("Phone %1").arg(i)},
                                {"device_type", type},
                                {"created_at", "2026-12-01T09:00:00Z"},
                                {"last_seen_at", "2026-12-06T09:00:00Z"}});
    return list;
}

inline FakeResponse deviceList(int count) {
    return FakeResponse::json(200, devices(count));
}

// The relay as the engine needs it: every pane gets session "s1", every question "q1", and there
// are neither commands nor inputs.
inline void serveAgent(FakeServer &server) {
    server.on("POST", QStringLiteral("/api/sessions"),
              FakeResponse::json(201, QJsonObject{{"id", "s1"}}));
    server.on("POST", QStringLiteral("/api/sessions/s1/questions"),
              FakeResponse::json(201, QJsonObject{{"id", "q1"}}));
    server.on("PUT", QStringLiteral("/api/projects"), FakeResponse::raw(200, "{}"));
    server.on("GET", QStringLiteral("/api/commands/pending"), FakeResponse::raw(200, "[]"));
    server.on("GET", QStringLiteral("/api/sessions/s1/inputs"), FakeResponse::raw(200, "[]"));
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

// The whole file, or nothing when it cannot be read.
inline QByteArray fileBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace quillet::test
