// The window's set-up: the procedure and its settings form, the arenas with their animals, the
// scale and the link; each change an edit on the undo stack; the settings file read and written.
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTableWidget>
#include <QUndoStack>
#include <QVBoxLayout>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/core/text/numbers.h"
#include "ambrevo/pipeline/run/request.h"
#include "edits.h"
#include "frame_view.h"
#include "main_window.h"
#include "settings_form.h"

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

// One count per arena, or one for the whole frame without arenas.
void fitAnimals(Setup& s) { s.animals.resize(std::max<size_t>(1, s.arenas.size()), 0); }

}  // namespace

QWidget* MainWindow::buildProcedurePage() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    procedureBox_ = new QComboBox;
    procedureBox_->setObjectName("procedure");
    connect(procedureBox_, &QComboBox::currentTextChanged, this,
            [this](const QString& name) { chooseProcedure(name.toStdString()); });
    previewBox_ = new QCheckBox("Live preview: process the frame on screen");
    previewBox_->setObjectName("livePreview");
    previewBox_->setChecked(true);
    connect(previewBox_, &QCheckBox::toggled, this, [this] { requestPreview(); });
    form_ = new SettingsForm;
    form_->changed = [this](const std::string& name, const std::string& value) {
        edit(q("Set " + name + " to " + value), [&](Setup& s) {
            std::erase_if(s.sets, [&](const auto& set) { return set.first == name; });
            s.sets.emplace_back(name, value);
        }, "set " + name);
    };
    form_->resetRequested = [this] { resetSettings(); };
    auto* scroll = new QScrollArea;
    scroll->setWidget(form_);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    layout->addWidget(new QLabel("Procedure"));
    layout->addWidget(procedureBox_);
    layout->addWidget(previewBox_);
    layout->addWidget(scroll, 1);
    return page;
}

QWidget* MainWindow::buildArenaPage() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* help = new QLabel(
        "Draw arenas with the Rectangle, Circle or Polygon tool (a polygon closes on its first point, a double "
        "click or Enter). Select one to move it or drag its handles; Delete removes it. The wheel zooms, the right "
        "button drags the picture.");
    help->setWordWrap(true);
    layout->addWidget(help);
    arenaTable_ = new QTableWidget(0, 2);
    arenaTable_->setObjectName("arenas");
    arenaTable_->setHorizontalHeaderLabels({"arena (--roi)", "animals"});
    arenaTable_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    layout->addWidget(arenaTable_, 1);
    auto* form = new QFormLayout;
    wholeAnimals_ = new QSpinBox;
    wholeAnimals_->setObjectName("wholeAnimals");
    wholeAnimals_->setRange(0, 1000000);
    wholeAnimals_->setSpecialValueText("not given");
    connect(wholeAnimals_, &QSpinBox::valueChanged, this, [this](int n) {
        if (setup_.arenas.empty()) edit("Set the animals", [n](Setup& s) { s.animals = {n}; }, "animals");
    });
    form->addRow("Animals (no arenas)", wholeAnimals_);
    scaleLabel_ = new QLabel;
    scaleLabel_->setWordWrap(true);
    form->addRow("Scale", scaleLabel_);
    link_ = new QLineEdit;
    link_->setObjectName("link");
    link_->setPlaceholderText("STEP[,MEMORY][,predict][,global], e.g. 15,5,predict");
    link_->setToolTip("Link the objects into tracks (--link); empty: no linking");
    connect(link_, &QLineEdit::editingFinished, this, [this] { setLink(link_->text().trimmed().toStdString()); });
    form->addRow("Link", link_);
    layout->addLayout(form);
    return page;
}

void MainWindow::edit(const QString& what, const std::function<void(Setup&)>& change, const std::string& mergeKey) {
    Setup after = setup_;
    change(after);
    if (after == setup_) return;
    undo_->push(new SetupEdit([this](const Setup& s) { applySetup(s); }, setup_, after, what, mergeKey));
}

void MainWindow::editArenas(const QString& what, std::vector<ArenaShape> arenas) {
    edit(what, [&](Setup& s) {
        s.arenas = std::move(arenas);
        fitAnimals(s);
    });
}

// Every widget that shows the set-up shows `setup`; the preview follows.
void MainWindow::applySetup(const Setup& setup) {
    const bool newForm = setup.procedure != setup_.procedure || setup.saved != setup_.saved;
    setup_ = setup;
    {
        const QSignalBlocker quiet(procedureBox_);
        procedureBox_->setCurrentText(q(setup_.procedure));
    }
    if (newForm) rebuildForm();
    form_->show(formValues());
    view_->setArenas(setup_.arenas);
    refreshArenaTable();
    scaleLabel_->setText(setup_.scale > 0 ? q(ambrevo::text::shortest(setup_.scale) + " pixels per " +
                                              (setup_.unit.empty() ? "unit" : setup_.unit))
                                          : "none: draw a line of known length with the Scale line tool");
    if (link_->text().trimmed().toStdString() != setup_.link) link_->setText(q(setup_.link));
    setupChanged();
}

// The form shows what an instance made for this frame's size tells, before any change.
void MainWindow::rebuildForm() {
    Options o;
    o.procedure = setup_.procedure;
    o.settingsFile = setup_.settingsPath;
    const int width = frame_.empty() ? 640 : frame_.cols, height = frame_.empty() ? 480 : frame_.rows;
    described_.clear();
    std::vector<std::vector<std::string>> groups;
    const Expected<bool> told = describeSettings(module_, o, *setup_.saved, described_, true, width, height, &groups);
    formFailed_ = !told;
    if (formFailed_) say(told.error().message, true);
    form_->build(described_, groups);
}

std::vector<std::pair<std::string, std::string>> MainWindow::formValues() const {
    std::vector<std::pair<std::string, std::string>> values;
    for (const SettingInfo& s : described_) {
        const std::string* changed = setup_.changed(s.name);
        values.emplace_back(s.name, changed ? *changed : formatSetting(s.type, s.value));
    }
    return values;
}

void MainWindow::setupChanged() {
    command_->setPlainText(q(commandLine()));
    requestPreview();
}

bool MainWindow::chooseProcedure(const std::string& name) {
    if (name == setup_.procedure && !described_.empty()) return !formFailed_;
    // Another procedure's settings are others: the changes go, and a file of another procedure.
    edit(q("Choose " + name), [&](Setup& s) {
        s.procedure = name;
        s.sets.clear();
        if (s.saved->procedure != name) s.settingsPath.clear(), s.saved = std::make_shared<SettingsFile>();
    });
    if (name == setup_.procedure && described_.empty()) rebuildForm(), applySetup(setup_);
    return !formFailed_;
}

void MainWindow::resetSettings() {
    edit("Reset the settings to their defaults", [this](Setup& s) {
        s.sets.clear();
        // The defaults over what a settings file gives.
        for (const SettingInfo& info : described_)
            if (info.value != info.defaultValue) s.sets.emplace_back(info.name, formatSetting(info.type, info.defaultValue));
    });
}

void MainWindow::resetSetup() {
    edit("Reset the set-up", [](Setup& s) {
        Setup fresh;
        fresh.procedure = s.procedure;
        s = fresh;
    });
}

void MainWindow::refreshArenaTable() {
    const std::vector<ArenaShape>& arenas = setup_.arenas;
    arenaTable_->setRowCount(int(arenas.size()));
    wholeAnimals_->setEnabled(arenas.empty());
    {
        const QSignalBlocker quiet(wholeAnimals_);
        wholeAnimals_->setValue(arenas.empty() && !setup_.animals.empty() ? int(setup_.animals[0]) : 0);
    }
    for (size_t i = 0; i < arenas.size(); ++i) {
        auto* roi = new QTableWidgetItem(q(arenas[i].roi()));
        roi->setFlags(roi->flags() & ~Qt::ItemIsEditable);
        arenaTable_->setItem(int(i), 0, roi);
        arenaTable_->setVerticalHeaderItem(int(i), new QTableWidgetItem(QString::number(i + 1)));
        // The spin boxes stay while their rows do: one in use keeps its focus.
        auto* count = qobject_cast<QSpinBox*>(arenaTable_->cellWidget(int(i), 1));
        if (!count) {
            count = new QSpinBox;
            count->setRange(0, 1000000);
            count->setSpecialValueText("not given");
            connect(count, &QSpinBox::valueChanged, this, [this, i](int n) {
                edit(QString("Set the animals in arena %1").arg(i + 1), [&](Setup& s) {
                    if (i < s.animals.size()) s.animals[i] = n;
                }, "animals " + std::to_string(i));
            });
            arenaTable_->setCellWidget(int(i), 1, count);
        }
        const QSignalBlocker quiet(count);
        count->setValue(i < setup_.animals.size() ? int(setup_.animals[i]) : 0);
    }
}

void MainWindow::scaleDrawn(double length) {
    double known = 10;
    if (!dialogs_->number(this, "Scale", QString("The line is %1 pixels long. Its length in units:").arg(length, 0, 'f', 1),
                          known))
        return;
    const QString unit = dialogs_->text(this, "Scale", "Unit (mm, cm, ...):", setup_.unit.empty() ? "mm" : q(setup_.unit));
    if (!unit.isNull()) setScale(length / known, unit.trimmed().toStdString());
}

void MainWindow::setArenas(std::vector<ArenaShape> arenas) { editArenas("Set the arenas", std::move(arenas)); }

void MainWindow::setScale(double pixelsPerUnit, const std::string& unit) {
    edit("Set the scale", [&](Setup& s) { s.scale = pixelsPerUnit, s.unit = unit; });
}

void MainWindow::setAnimals(const std::vector<int64_t>& perArena) {
    edit("Set the animals", [&](Setup& s) {
        s.animals = perArena;
        fitAnimals(s);
    });
}

void MainWindow::setLink(const std::string& link) {
    edit("Set the link", [&](Setup& s) { s.link = link; });
}

bool MainWindow::loadSettings(const std::string& file) {
    auto read = std::make_shared<SettingsFile>();
    std::vector<ArenaShape> arenas;
    try {
        if (const Outcome got = readSettingsFile(file, *read); !got) return say(got.error().message, true), false;
        for (const std::string& roi : read->arenas) arenas.push_back(ArenaShape::parse(roi));
    } catch (const std::exception& e) {
        return say("settings file '" + file + "': " + e.what(), true), false;
    }
    edit(q("Load the settings of '" + file + "'"), [&](Setup& s) {
        s = Setup();
        s.procedure = read->procedure, s.settingsPath = file, s.saved = read, s.arenas = arenas;
        s.animals = read->animals, s.scale = read->scale, s.unit = read->unit, s.link = read->link;
        fitAnimals(s);
    });
    if (!formFailed_) say("settings read from '" + file + "'");
    return !formFailed_;
}

bool MainWindow::saveSettings(const std::string& name) {
    const std::string file = QFileInfo(q(name)).suffix().isEmpty() ? name + ".json" : name;
    const Options o = options();
    if (const Outcome arenas = checkArenaOptions(o); !arenas) return say(arenas.error().message, true), false;
    auto f = std::make_shared<SettingsFile>();
    f->version = preview_.preview.moduleVersion;
    f->procedure = setup_.procedure;
    // The values in use on the preview of this set-up (the file's, the dialogue's and the
    // form's), else the form's.
    auto values = previewCurrent() && preview_.ok ? preview_.preview.settings : formValues();
    for (const auto& [setting, value] : values)
        if (std::any_of(described_.begin(), described_.end(), [&](const SettingInfo& s) { return s.name == setting; }))
            f->values.push_back({setting, value});
    f->arenas = o.rois, f->animals = o.animals, f->scale = o.scale, f->unit = o.unit, f->link = o.link;
    if (const Outcome written = writeWholeFile(file, "settings file", settingsFileJson(*f)); !written)
        return say(written.error().message, true), false;
    // The same set-up, now told by the file: the edits before still undo to what they were.
    Setup saved = setup_;
    saved.settingsPath = file, saved.saved = f, saved.sets.clear();
    applySetup(saved);
    say("settings saved to '" + file + "'");
    return true;
}
