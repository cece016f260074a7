// The procedure's settings as a form built from what the module tells of each: a spin box
// with the setting's range for numbers, a check box for switches. Each reads as words: its
// help is its label, and the module's own name for it is the tooltip. Nothing here names a
// setting: a procedure's new setting appears without a line of code.
#pragma once

#include <QWidget>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ambrevo/pipeline/module/settings.h"

class QVBoxLayout;

// Settings shown together under a title (none: the procedure's settings as they come).
struct SettingGroup {
    std::string title;
    std::vector<size_t> members;  // indices into the settings, in order
};

class SettingsForm : public QWidget {
public:
    explicit SettingsForm(QWidget* parent = nullptr);
    // Replaces the form by one row per setting; each editor is named after its setting. The
    // settings of each of `asked` (names the procedure's dialogue asks together) in a box of
    // their own, in the dialogue's order; the rest after them.
    void build(const std::vector<SettingInfo>& settings, const std::vector<std::vector<std::string>>& asked = {});
    // Shows the values in use (name, value as text) without reporting them as changes.
    void show(const std::vector<std::pair<std::string, std::string>>& values);
    // Called with the setting's name and its new value as the module takes it back.
    std::function<void(const std::string&, const std::string&)> changed;
    // The Reset to defaults button.
    std::function<void()> resetRequested;
    const std::vector<SettingInfo>& settings() const { return settings_; }

private:
    // One untitled group when the dialogue asks all at once (or tells nothing).
    static std::vector<SettingGroup> groups(const std::vector<SettingInfo>& settings,
                                            const std::vector<std::vector<std::string>>& asked);
    QWidget* editor(const SettingInfo& setting);
    QWidget* groupBox(const SettingGroup& group);
    QVBoxLayout* layout_;
    QWidget* body_ = nullptr;
    std::vector<SettingInfo> settings_;
    std::vector<QWidget*> editors_;
};
