#include "hosts/designer/bag_editor.h"

#include <QFile>
#include <QSaveFile>

#include "platform/error.h"

namespace vastrel::designer {

using namespace vastrel::automation;

BagEditor::BagEditor(QString path) : path_(std::move(path)) {
  IVastrel* raw = nullptr;
  if (FAILED(CreateVastrel(IVastrel::kIID, reinterpret_cast<void**>(&raw))))
    throw Exception(LastErrorMessage());
  control_ = ComPtr<IVastrel>::Adopt(raw);
}

BagEditor::~BagEditor() = default;

TVastrel& BagEditor::Impl() const { return *static_cast<TVastrel*>(control_.get()); }

bool BagEditor::Load(QString* error) {
  QFile file(path_);
  if (!file.exists()) return true;
  if (!file.open(QIODevice::ReadOnly)) {
    *error = QStringLiteral("%1: %2").arg(path_, file.errorString());
    return false;
  }
  // A bag is read up to a limit: the path may name a device that never ends.
  constexpr qint64 kMaxBagBytes = qint64{16} << 20;
  const QByteArray text = file.read(kMaxBagBytes + 1);
  if (text.size() > kMaxBagBytes) {
    *error = QStringLiteral("%1: larger than 16 MiB, more than any property bag").arg(path_);
    return false;
  }
  if (!LoadText(std::string_view(text.constData(), static_cast<size_t>(text.size())), error)) {
    *error = QStringLiteral("%1: %2").arg(path_, *error);
    return false;
  }
  return true;
}

bool BagEditor::LoadText(std::string_view json, QString* error) {
  if (SUCCEEDED(Impl().LoadProperties(json))) return true;
  *error = QString::fromStdString(LastErrorMessage());
  return false;
}

pages::PropertySheet& BagEditor::Sheet() {
  if (!sheet_) {
    sheet_ = std::make_unique<pages::PropertySheet>(control_.get());
    QObject::connect(sheet_.get(), &pages::PropertySheet::Applied, [this] { Write(); });
  }
  return *sheet_;
}

bool BagEditor::Write() {
  write_error_.clear();
  if (path_.isEmpty()) return true;
  std::string json;
  if (FAILED(Impl().SaveProperties(&json))) {
    write_error_ = QString::fromStdString(LastErrorMessage());
    return false;
  }
  // Written aside and renamed over the bag, so that a failed write leaves the old one.
  QSaveFile file(path_);
  if (!file.open(QIODevice::WriteOnly) ||
      file.write(json.data(), static_cast<qint64>(json.size())) !=
          static_cast<qint64>(json.size()) ||
      !file.commit()) {
    write_error_ = QStringLiteral("%1: %2").arg(path_, file.errorString());
    return false;
  }
  return true;
}

}  // namespace vastrel::designer
