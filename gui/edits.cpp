#include "edits.h"

bool SetupEdit::mergeWith(const QUndoCommand* other) {
    const auto* edit = dynamic_cast<const SetupEdit*>(other);
    if (!edit || edit->mergeKey_ != mergeKey_) return false;
    after_ = edit->after_;
    return true;
}

void TableEdit::undo() {
    if (!current_()) return setObsolete(true);
    apply_(before_, "undone: " + text().toStdString());
}

void TableEdit::redo() {
    if (!current_()) return setObsolete(true);
    ambrevo::TrackTable after = before_;
    const std::string what = correction_(after);
    apply_(after, what);
}
