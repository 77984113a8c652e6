#include "ui/AgentSettingsTab.h"

#include "agent/AgentService.h"
#include "common/Settings.h"
#include "projects/ProjectStore.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>
#include <QVBoxLayout>
#include <cmath>

namespace quillet {

AgentSettingsTab::AgentSettingsTab(AgentService &engine, QWidget *parent)
    : QWidget(parent), m_engine(engine) {
    setObjectName(QStringLiteral("agentTab"));

    auto *monitoring = new QGroupBox(QStringLiteral("Monitoring"), this);
    auto *form = new QFormLayout(monitoring);
    addRow(form, QStringLiteral("Poll Interval:"), Settings::pollInterval, 3.0, 1, 10, 1,
           QStringLiteral("s"), 30)
        ->setObjectName(QStringLiteral("pollIntervalSlider"));
    addRow(form, QStringLiteral("Idle Threshold:"), Settings::idleThreshold, 5.0, 3, 15, 1,
           QStringLiteral("s"), 30)
        ->setObjectName(QStringLiteral("idleThresholdSlider"));
    addRow(form, QStringLiteral("Context Lines:"), Settings::contextLines, 50.0, 10, 100, 10,
           QString(), 35)
        ->setObjectName(QStringLiteral("contextLinesSlider"));
    m_watchAll = new QCheckBox(QStringLiteral("Watch Claude Code and Codex in every tmux session"),
                               monitoring);
    m_watchAll->setObjectName(QStringLiteral("watchAllSessionsCheck"));
    m_watchAll->setToolTip(
        QStringLiteral("Off: only the panes of the projects' own sessions are read."));
    form->addRow(m_watchAll);
    // The engine reads it at every scan.
    connect(m_watchAll, &QCheckBox::toggled, this,
            [](bool on) { Settings::write(Settings::watchAllSessions, on); });

    auto *status = new QGroupBox(QStringLiteral("Status"), this);
    auto *statusForm = new QFormLayout(status);
    m_running = new QLabel(status);
    m_running->setObjectName(QStringLiteral("agentStatusLabel"));
    m_sessions = new QLabel(status);
    m_sessions->setObjectName(QStringLiteral("sessionsLabel"));
    m_pending = new QLabel(status);
    m_pending->setObjectName(QStringLiteral("pendingLabel"));
    statusForm->addRow(QStringLiteral("Agent"), m_running);
    statusForm->addRow(QStringLiteral("Sessions"), m_sessions);
    statusForm->addRow(QStringLiteral("Pending Prompts"), m_pending);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(monitoring);
    layout->addWidget(status);
    layout->addStretch(1);

    reload();
    updateStatus();
    connect(&m_engine, &AgentService::stateChanged, this, &AgentSettingsTab::updateStatus);
    connect(&m_engine, &AgentService::runningChanged, this, &AgentSettingsTab::updateStatus);
}

QSlider *AgentSettingsTab::addRow(QFormLayout *form, const QString &label, const QString &key,
                                  double fallback, int minimum, int maximum, int step,
                                  const QString &suffix, int valueWidth) {
    auto *slider = new QSlider(Qt::Horizontal, this);
    slider->setRange(minimum / step, maximum / step);
    slider->setPageStep(1);
    auto *value = new QLabel(this);
    value->setObjectName(QStringLiteral("%1Value").arg(key));
    value->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    value->setMinimumWidth(valueWidth);
    auto *row = new QHBoxLayout;
    row->addWidget(slider, 1);
    row->addWidget(value);
    form->addRow(label, row);
    m_rows.append({key, fallback, step, slider, value, suffix});
    const Row entry = m_rows.last();
    connect(slider, &QSlider::valueChanged, this, [this, entry] { sliderMoved(entry); });
    return slider;
}

void AgentSettingsTab::reload() {
    {
        const QSignalBlocker blocker(m_watchAll);
        m_watchAll->setChecked(!Settings::contains(Settings::watchAllSessions) ||
                               Settings::readBool(Settings::watchAllSessions));
    }
    for (const Row &row : m_rows) {
        const double stored =
            Settings::contains(row.key) ? Settings::readDouble(row.key) : row.fallback;
        const QSignalBlocker blocker(row.slider);
        row.slider->setValue(static_cast<int>(std::lround(stored / row.step)));
        row.value->setText(QString::number(row.slider->value() * row.step) + row.suffix);
    }
}

void AgentSettingsTab::sliderMoved(const Row &row) {
    const int whole = row.slider->value() * row.step;
    row.value->setText(QString::number(whole) + row.suffix);
    const double value = whole;
    Settings::write(row.key, value);
    // Takes effect at the engine's next cycle; an equal value is not set again.
    if (row.key == Settings::pollInterval && m_engine.pollInterval() != value)
        m_engine.setPollInterval(value);
    else if (row.key == Settings::idleThreshold && m_engine.idleThreshold() != value)
        m_engine.setIdleThreshold(value);
    else if (row.key == Settings::contextLines && m_engine.contextLines() != whole)
        m_engine.setContextLines(whole);
}

void AgentSettingsTab::updateStatus() {
    const bool running = m_engine.isRunning();
    m_running->setText(running ? QStringLiteral("Running") : QStringLiteral("Stopped"));
    m_running->setStyleSheet(running ? QStringLiteral("color: #1f9d3a;")
                                     : QStringLiteral("color: palette(mid);"));
    m_sessions->setText(QString::number(m_engine.monitoredSessions().size()));
    m_pending->setText(QString::number(m_engine.pendingQuestions().size()));
}

void AgentSettingsTab::showEvent(QShowEvent *event) {
    reload();
    updateStatus();
    QWidget::showEvent(event);
}

} // namespace quillet
