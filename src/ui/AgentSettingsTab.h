#pragma once

#include <QWidget>

class QCheckBox;
class QFormLayout;
class QLabel;
class QSlider;

namespace quillet {

class AgentService;

// The monitor's timing, pushed into the running engine as the sliders move, and its live
// counters.
class AgentSettingsTab : public QWidget {
    Q_OBJECT
public:
    explicit AgentSettingsTab(AgentService &engine, QWidget *parent = nullptr);

protected:
    void showEvent(QShowEvent *event) override;

private:
    struct Row {
        QString key;
        double fallback;
        int step; // the slider counts steps: 1 s, 1 s, 10 lines
        QSlider *slider;
        QLabel *value;
        QString suffix;
    };

    QSlider *addRow(QFormLayout *form, const QString &label, const QString &key, double fallback,
                    int minimum, int maximum, int step, const QString &suffix, int valueWidth);
    void reload();
    void sliderMoved(const Row &row);
    void updateStatus();

    AgentService &m_engine;
    QList<Row> m_rows;
    QCheckBox *m_watchAll;
    QLabel *m_running;
    QLabel *m_sessions;
    QLabel *m_pending;
};

} // namespace quillet
