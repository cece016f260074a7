#include "settings_form.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace {

// "grey level at or below which ..." as a label: "Grey level at or below which ...".
QString sentence(const SettingInfo& s) {
    QString text = QString::fromStdString(s.help.empty() ? s.name : s.help);
    if (!text.isEmpty()) text[0] = text[0].toUpper();
    return text;
}

constexpr int editorWidth = 96;

QString tooltip(const SettingInfo& s) {
    const std::string range = s.type == 1 ? "on or off"
                                          : formatSetting(s.type, s.lowest) + " to " + formatSetting(s.type, s.highest);
    return QString::fromStdString(s.name + " (" + range + ", default " + formatSetting(s.type, s.defaultValue) + ")");
}

}  // namespace

SettingsForm::SettingsForm(QWidget* parent) : QWidget(parent), layout_(new QVBoxLayout(this)) {
    auto* reset = new QPushButton("Reset to defaults");
    reset->setObjectName("resetSettings");
    reset->setToolTip("Every setting back to the procedure's default (undo brings the values back)");
    connect(reset, &QPushButton::clicked, this, [this] {
        if (resetRequested) resetRequested();
    });
    layout_->addWidget(reset, 0, Qt::AlignLeft);
    layout_->addStretch(1);
}

std::vector<SettingGroup> SettingsForm::groups(const std::vector<SettingInfo>& settings,
                                               const std::vector<std::vector<std::string>>& asked) {
    std::vector<SettingGroup> out;
    std::vector<bool> placed(settings.size(), false);
    for (const std::vector<std::string>& names : asked) {
        SettingGroup group;
        for (const std::string& name : names)
            for (size_t i = 0; i < settings.size(); ++i)
                if (settings[i].name == name && !placed[i]) group.members.push_back(i), placed[i] = true;
        if (!group.members.empty()) out.push_back(group);
    }
    SettingGroup rest{out.empty() ? "" : "Others", {}};
    for (size_t i = 0; i < settings.size(); ++i)
        if (!placed[i]) rest.members.push_back(i);
    if (!rest.members.empty()) out.push_back(rest);
    if (out.size() == 1) out[0].title.clear();
    for (size_t g = 0; g < out.size() && out.size() > 1; ++g)
        if (out[g].title.empty())
            out[g].title = "Asked together (" + std::to_string(g + 1) + " of " + std::to_string(out.size()) + ")";
    return out;
}

void SettingsForm::build(const std::vector<SettingInfo>& settings, const std::vector<std::vector<std::string>>& asked) {
    // Detached at once, deleted once the event that may come from one of its editors is over;
    // hidden first, so that the focus it may hold moves on within the window (a detached
    // widget holding it would take the window's activation with it).
    if (body_) body_->hide(), body_->setParent(nullptr), body_->deleteLater();
    settings_ = settings;
    editors_.assign(settings_.size(), nullptr);
    body_ = new QWidget;
    auto* column = new QVBoxLayout(body_);
    column->setContentsMargins(0, 0, 0, 0);
    for (const SettingGroup& group : groups(settings_, asked)) column->addWidget(groupBox(group));
    layout_->insertWidget(0, body_);
}

// Each setting a row: its words, wrapped in what the editor leaves, and a narrow editor.
QWidget* SettingsForm::groupBox(const SettingGroup& group) {
    QWidget* box = group.title.empty() ? new QWidget : new QGroupBox(QString::fromStdString(group.title));
    if (!group.title.empty())
        box->setToolTip("The procedure asks these settings together, one line of its configuration dialogue");
    auto* rows = new QGridLayout(box);
    if (group.title.empty()) rows->setContentsMargins(0, 0, 0, 0);
    rows->setColumnStretch(0, 1);
    for (size_t i : group.members) {
        const SettingInfo& s = settings_[i];
        QWidget* e = editor(s);
        e->setObjectName(QString::fromStdString(s.name));
        e->setToolTip(tooltip(s));
        auto* label = new QLabel(sentence(s));
        label->setWordWrap(true);
        label->setToolTip(tooltip(s));
        label->setBuddy(e);
        e->setFixedWidth(editorWidth);
        editors_[i] = e;
        const int row = rows->rowCount();
        rows->addWidget(label, row, 0);
        rows->addWidget(e, row, 1, Qt::AlignTop);
    }
    return box;
}

QWidget* SettingsForm::editor(const SettingInfo& s) {
    const std::string name = s.name;
    auto tell = [this, name](int type, double value) {
        if (changed) changed(name, formatSetting(type, value));
    };
    if (s.type == 1) {
        auto* box = new QCheckBox;
        box->setChecked(s.value != 0);
        connect(box, &QCheckBox::toggled, this, [tell](bool on) { tell(1, on ? 1 : 0); });
        return box;
    }
    if (s.type == 0) {
        auto* box = new QSpinBox;
        box->setRange(int(std::clamp<double>(s.lowest, INT_MIN, INT_MAX)),
                      int(std::clamp<double>(s.highest, INT_MIN, INT_MAX)));
        box->setValue(int(s.value));
        box->setKeyboardTracking(false);
        connect(box, &QSpinBox::valueChanged, this, [tell](int v) { tell(0, v); });
        return box;
    }
    auto* box = new QDoubleSpinBox;
    box->setDecimals(4);
    box->setRange(s.lowest, s.highest);
    box->setSingleStep(std::max(0.0001, (s.highest - s.lowest) / 100));
    box->setValue(s.value);
    box->setKeyboardTracking(false);
    connect(box, &QDoubleSpinBox::valueChanged, this, [tell](double v) { tell(2, v); });
    return box;
}

void SettingsForm::show(const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& [name, text] : values)
        for (size_t i = 0; i < settings_.size(); ++i) {
            if (settings_[i].name != name || !editors_[i]) continue;
            const double v = std::strtod(text.c_str(), nullptr);
            const QSignalBlocker quiet(editors_[i]);
            if (auto* box = qobject_cast<QCheckBox*>(editors_[i])) box->setChecked(v != 0);
            if (auto* box = qobject_cast<QSpinBox*>(editors_[i])) box->setValue(int(v));
            if (auto* box = qobject_cast<QDoubleSpinBox*>(editors_[i])) box->setValue(v);
        }
}
