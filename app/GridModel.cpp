#include "GridModel.h"

#include <QHeaderView>

#include "platform/Text.h"
#include "platform/Translate.h"

TStringGridModel::TStringGridModel(QObject* parent)
    : QAbstractTableModel(parent), FTable(TableData::Empty(5, 5)),
      FLegacy(platform::LegacyCodePage(platform::TranslationLanguage())) {}

void TStringGridModel::SetLegacyCodePage(const char* name) {
    beginResetModel();
    FLegacy = QStringDecoder(name);
    endResetModel();
}

int TStringGridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : FTable.RowCount();
}

int TStringGridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : FTable.ColCount();
}

QVariant TStringGridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || role != Qt::DisplayRole) return {};
    std::string_view cell = FTable.Cell(index.column(), index.row());
    if (cell.empty()) return {};
    return platform::ToQString(cell.data(), cell.size(), FLegacy);
}

void TStringGridModel::SetTable(TableData table) {
    beginResetModel();
    FTable = std::move(table);
    endResetModel();
}

TStringGrid::TStringGrid(QWidget* parent) : QTableView(parent), FModel(new TStringGridModel(this)) {
    setModel(FModel);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    horizontalHeader()->hide();
    verticalHeader()->hide();
    // Fixed sizes keep a million rows as cheap to scroll as five.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setDefaultSectionSize(20);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setMinimumSectionSize(1);
    horizontalHeader()->setDefaultSectionSize(64);
    setWordWrap(false);
}
