// The user's edits as undoable commands: a change of the set-up (arenas, animals, scale, link,
// settings, procedure) and a correction of the tracks under review. Each holds what it needs
// to go back and forth; the window applies the state it is handed.
#pragma once

#include <QUndoCommand>
#include <functional>

#include "ambrevo/pipeline/tracks/track_table.h"
#include "setup.h"

class SetupEdit : public QUndoCommand {
public:
    // `mergeKey`: consecutive edits with the same non-empty key are one (a spin box stepped
    // ten times is undone at once).
    SetupEdit(std::function<void(const Setup&)> apply, Setup before, Setup after, const QString& text,
              std::string mergeKey = {})
        : QUndoCommand(text), apply_(std::move(apply)), before_(std::move(before)), after_(std::move(after)),
          mergeKey_(std::move(mergeKey)) {}
    void undo() override { apply_(before_); }
    void redo() override { apply_(after_); }
    int id() const override { return mergeKey_.empty() ? -1 : 1; }
    bool mergeWith(const QUndoCommand* other) override;

private:
    std::function<void(const Setup&)> apply_;
    Setup before_, after_;
    std::string mergeKey_;
};

// A correction keeps the table as it was and the correction itself, which it makes again on
// a copy when redone: one copy of the table per step rather than two. Once another table is
// under review (`current` says false) it does nothing and leaves the stack.
class TableEdit : public QUndoCommand {
public:
    using Apply = std::function<void(const ambrevo::TrackTable&, const std::string& what)>;
    using Correction = std::function<std::string(ambrevo::TrackTable&)>;  // says what it did
    TableEdit(Apply apply, std::function<bool()> current, ambrevo::TrackTable before, Correction correction,
              const QString& text)
        : QUndoCommand(text), apply_(std::move(apply)), current_(std::move(current)), before_(std::move(before)),
          correction_(std::move(correction)) {}
    void undo() override;
    void redo() override;

private:
    Apply apply_;
    std::function<bool()> current_;
    ambrevo::TrackTable before_;
    Correction correction_;
};
