#include "Controls.h"

#include <QButtonGroup>
#include <QGridLayout>

void SetFormLook(QWidget* form, int fontPixels, bool white) {
    QFont f("MS Sans Serif");
    f.setPixelSize(fontPixels);
    form->setFont(f);
    if (!white) return;
    QPalette p = form->palette();
    p.setColor(QPalette::Window, Qt::white);
    form->setPalette(p);
    form->setAutoFillBackground(true);
}

bool SwallowDialogKeys(QKeyEvent* e) {
    switch (e->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        e->accept();
        return true;
    default:
        return false;
    }
}

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, int columns, QWidget* parent)
    : QGroupBox(caption, parent) {
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(8, 0, 8, 0);
    layout->setVerticalSpacing(0);
    auto* group = new QButtonGroup(this);
    const int rows = (static_cast<int>(items.size()) + columns - 1) / columns;
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items[i], this);
        group->addButton(b, i);
        layout->addWidget(b, i % rows, i / rows);
        FButtons.push_back(b);
    }
    connect(group, &QButtonGroup::idToggled, this, [this](int, bool checked) {
        if (checked && OnClick) OnClick();
    });
}

int TRadioGroup::ItemIndex() const {
    for (std::size_t i = 0; i < FButtons.size(); ++i)
        if (FButtons[i]->isChecked()) return static_cast<int>(i);
    return -1;
}

void TRadioGroup::SetItemIndex(int index) {
    if (index >= 0 && index < Count()) Item(index)->setChecked(true);
}
