#include "TranslateForm.h"

#include <QObject>
#include <QStringList>
#include <QVariant>
#include <set>
#include <string>

#include "platform/Text.h"
#include "platform/Translate.h"

namespace platform {

namespace {

// The exclusions live on the form itself, so they die with it.
constexpr const char* kExcludedProperty = "translationExcluded";

// Caption-like properties and the classes that show them. "text" is named per
// class: in an edit it is the user's data, not a caption.
struct CaptionProperty {
    const char* className; // nullptr: every widget
    const char* property;
};
constexpr CaptionProperty kCaptions[] = {
    {"QLabel", "text"},     {"QAbstractButton", "text"},
    {"QGroupBox", "title"}, {"QLineEdit", "placeholderText"},
    {nullptr, "toolTip"},   {nullptr, "statusTip"},
    {nullptr, "whatsThis"},
};

// A top-level window; child windows (dialogs parented to the form) count too.
bool IsWindow(const QObject* o) {
    return o->inherits("QDialog") || o->inherits("QMainWindow") || o->inherits("QMenu");
}

bool Excluded(const QObject* object, const QObject* form, const QStringList& excluded) {
    for (const QObject* o = object; o != nullptr; o = o->parent()) {
        if (!o->objectName().isEmpty() && excluded.contains(o->objectName())) return true;
        if (o == form) break;
        if (IsWindow(o)) return true;
    }
    return false;
}

void TranslateProperty(QObject* o, const char* property, const char* domain) {
    const QVariant value = o->property(property);
    if (!value.isValid()) return;
    const QString text = value.toString();
    // The empty message id would fetch the catalogue's header.
    if (text.isEmpty()) return;
    const QString translated = ToQString(Translate(domain, FromQString(text)));
    if (translated != text) o->setProperty(property, translated);
}

void TranslateObject(QObject* o, const char* domain, bool isForm) {
    if (!o->isWidgetType()) return;
    for (const CaptionProperty& caption : kCaptions)
        if (caption.className == nullptr || o->inherits(caption.className))
            TranslateProperty(o, caption.property, domain);
    if (isForm) TranslateProperty(o, "windowTitle", domain);
}

} // namespace

void ExcludeFromTranslation(QObject* form, const QString& objectName) {
    QStringList excluded = form->property(kExcludedProperty).toStringList();
    if (!excluded.contains(objectName)) excluded.append(objectName);
    form->setProperty(kExcludedProperty, excluded);
}

void TranslateForm(QObject* form, const char* domain) {
    static std::set<std::string> bound;
    if (bound.insert(domain).second) BindDomain(domain);
    const QStringList excluded = form->property(kExcludedProperty).toStringList();
    form->setProperty(kExcludedProperty, QVariant());
    if (!excluded.contains(form->objectName()) || form->objectName().isEmpty())
        TranslateObject(form, domain, true);
    const auto children = form->findChildren<QObject*>();
    for (QObject* child : children)
        if (!Excluded(child, form, excluded)) TranslateObject(child, domain, false);
}

} // namespace platform
