#pragma once
// Translation of a whole window: every user-visible text of the window and
// its widgets goes through the message catalogue of one text domain.
//
// Works on Qt's property system alone, so this layer needs no widget module.
#include <QString>

class QObject;

namespace platform {

// Leaves the widget named `objectName` inside `form` (and everything in it)
// untouched by the next TranslateForm of that form.
void ExcludeFromTranslation(QObject* form, const QString& objectName);

// Replaces the window title, group box titles, label and button texts, edit
// placeholders, tool tips, status tips and "what's this" texts of `form` and
// its widgets by their translations in `domain`; texts without one stay as
// they are, and so do the entries of lists and the contents of edits.
// Windows of their own parented to the form are left alone. The exclusions
// registered for the form apply to this call only.
void TranslateForm(QObject* form, const char* domain);

} // namespace platform
