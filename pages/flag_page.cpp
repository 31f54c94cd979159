#include "pages/flag_page.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QVBoxLayout>
#include <cstring>

namespace vastrel::pages {

using automation::TxFileFlags;

namespace {

struct FlagBox {
  const char* name;
  const char* caption;
  const char* member;
  VARIANT_BOOL TxFileFlags::*field;
};

// Left column first, then the right column, in the order shown.
constexpr FlagBox kFlagBoxes[TFlagProps::kBoxes] = {
    {"chkVarLength", "&Variable Length", "ffVariableLength", &TxFileFlags::ffVariableLength},
    {"chkTruncateBlank", "&Truncate Blank", "ffTruncateBlank", &TxFileFlags::ffTruncateBlank},
    {"chkPreallocate", "&Preallocate", "ffPreallocate", &TxFileFlags::ffPreallocate},
    {"chkCompress", "&Compress", "ffCompress", &TxFileFlags::ffCompress},
    {"chkKeyOnly", "&Key Only", "ffKeyOnly", &TxFileFlags::ffKeyOnly},
    {"chkIndexBalancing", "&Index Balancing", "ffIndexBalancing", &TxFileFlags::ffIndexBalancing},
    {"chkKeyNumSpecified", "Key &Num Specified", "ffKeyNumSpecified",
     &TxFileFlags::ffKeyNumSpecified},
    {"chkUseVATs", "Use &VATs", "ffUseVATs", &TxFileFlags::ffUseVATs},
    {"chkDuplPtrs", "&Duplicate Ptrs", "ffDuplicatePtrs", &TxFileFlags::ffDuplicatePtrs},
    {"chk10", "&10", "ff10", &TxFileFlags::ff10},
    {"chk20", "&20", "ff20", &TxFileFlags::ff20},
    {"chk30", "&30", "ff30", &TxFileFlags::ff30},
};

}  // namespace

TFlagProps::TFlagProps(QWidget* parent) : PropertyPage(parent) {
  setWindowTitle(QStringLiteral("File Flags"));
  resize(482, 205);
  auto* group = new QGroupBox(QStringLiteral("Flag Set"));
  auto* grid = new QGridLayout(group);
  for (int i = 0; i < kBoxes; ++i) {
    Boxes[i] = new QCheckBox(QString::fromLatin1(kFlagBoxes[i].caption));
    Boxes[i]->setObjectName(QString::fromLatin1(kFlagBoxes[i].name));
    grid->addWidget(Boxes[i], i % 6, i / 6);
    connect(Boxes[i], &QCheckBox::toggled, this, [this] { Changed(); });
  }
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addStretch();
}

QCheckBox* TFlagProps::Box(const char* member) const {
  for (int i = 0; i < kBoxes; ++i)
    if (std::strcmp(kFlagBoxes[i].member, member) == 0) return Boxes[i];
  return nullptr;
}

void TFlagProps::UpdatePropertyPage() {
  RunAction([this] {
    const TxFileFlags flags = Get(Control(), &automation::IVastrel::get_FileFlags);
    filling_ = true;
    for (int i = 0; i < kBoxes; ++i) Boxes[i]->setChecked(flags.*kFlagBoxes[i].field != 0);
    filling_ = false;
  });
  filling_ = false;
}

bool TFlagProps::UpdateObject() {
  TxFileFlags flags;
  for (int i = 0; i < kBoxes; ++i)
    flags.*kFlagBoxes[i].field = Boxes[i]->isChecked() ? VARIANT_TRUE : VARIANT_FALSE;
  const bool wrote = RunAction([&] { Check(Control()->put_FileFlags(flags)); });
  MarkDirty();
  UpdatePropertyPage();
  return wrote;
}

}  // namespace vastrel::pages
