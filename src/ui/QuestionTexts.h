#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <optional>

namespace quillet {

class AgentService;

// The text of each pane's pending question. The engine keeps only the question's server id per
// pane; the windows show what was asked, which the engine announces as it posts.
class QuestionTexts : public QObject {
    Q_OBJECT
public:
    explicit QuestionTexts(AgentService &engine, QObject *parent = nullptr);

    // The question pending on `paneTarget`, while the engine still has one there.
    std::optional<QString> pendingText(const QString &paneTarget) const;

private:
    QPointer<AgentService> m_engine;
    QHash<QString, QString> m_texts;
};

} // namespace quillet
