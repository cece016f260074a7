#include "settings_form.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QSignalBlocker>
#include <QSpinBox>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

SettingsForm::SettingsForm(QWidget* parent) : QWidget(parent), layout_(new QFormLayout(this)) {}

void SettingsForm::build(const std::vector<SettingInfo>& settings) {
    while (layout_->rowCount() > 0) layout_->removeRow(0);
    settings_ = settings;
    editors_.clear();
    for (const SettingInfo& s : settings_) {
        QWidget* e = editor(s);
        e->setObjectName(QString::fromStdString(s.name));
        e->setToolTip(QString::fromStdString(s.help));
        editors_.push_back(e);
        layout_->addRow(QString::fromStdString(s.name), e);
    }
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
            if (settings_[i].name != name) continue;
            const double v = std::strtod(text.c_str(), nullptr);
            const QSignalBlocker quiet(editors_[i]);
            if (auto* box = qobject_cast<QCheckBox*>(editors_[i])) box->setChecked(v != 0);
            if (auto* box = qobject_cast<QSpinBox*>(editors_[i])) box->setValue(int(v));
            if (auto* box = qobject_cast<QDoubleSpinBox*>(editors_[i])) box->setValue(v);
        }
}
