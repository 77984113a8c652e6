#include "ui/QuestionTexts.h"

#include "agent/AgentService.h"
#include "projects/ProjectStore.h"

namespace quillet {

QuestionTexts::QuestionTexts(AgentService &engine, QObject *parent)
    : QObject(parent), m_engine(&engine) {
    connect(&engine, &AgentService::questionPosted, this,
            [this](const QString &pane, const QString &text) { m_texts.insert(pane, text); });
    // Answered or vanished panes drop out.
    connect(&engine, &AgentService::stateChanged, this, [this] {
        if (m_engine)
            m_texts.removeIf([this](const auto &entry) {
                return !m_engine->pendingQuestions().contains(entry.key());
            });
    });
}

std::optional<QString> QuestionTexts::pendingText(const QString &paneTarget) const {
    if (!m_engine || !m_engine->pendingQuestions().contains(paneTarget))
        return std::nullopt;
    const auto it = m_texts.constFind(paneTarget);
    if (it == m_texts.cend())
        return std::nullopt;
    return *it;
}

} // namespace quillet
