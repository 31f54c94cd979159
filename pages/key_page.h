// TKeyProps, the key page: edits the control's key segment definitions through its IKeys
// object, one tab per segment entry labelled "key - segment".
//
// Insert, Add and Delete act on the control's key list at once and rebuild the IKey items
// from it, so value changes not yet applied are lost by them. Value changes go to the IKey
// item of the selected entry and reach the control when the page applies (Keys := the
// page's keys object).
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>

#include "pages/property_page.h"

namespace vastrel::pages {

class VASTREL_PAGES_API TKeyProps : public PropertyPage {
  Q_OBJECT
 public:
  explicit TKeyProps(QWidget* parent = nullptr);

  void UpdatePropertyPage() override;
  bool UpdateObject() override;

  // The selected entry, -1 when none.
  int SelectedIndex() const { return selected_; }
  QStringList TabLabels() const;

  QSpinBox* Position;
  QSpinBox* Length;
  QComboBox* KeyType;
  QSpinBox* Extended;
  QCheckBox* Duplicates;
  QCheckBox* Modifiable;
  QCheckBox* SegmentFollows;
  QCheckBox* AllSegmentNull;
  QCheckBox* ACS;
  QCheckBox* NulSegment;
  QCheckBox* Descending;
  QCheckBox* CaseInsensitive;
  QTabBar* TabSet1;
  QPushButton* Insert;
  QPushButton* Add;
  QPushButton* Delete;

 private:
  void RefreshTabs();
  void ShowSegment(int index);
  void SelectTab(int index);
  ComPtr<automation::IKey> Item(int index);
  void ValueChanged(QWidget* source);
  void SegmentFollowsClick();
  void AddClick();
  void InsertClick();
  void DeleteClick();

  ComPtr<automation::IKeys> keys_;
  bool busy_ = false;
  int selected_ = -1;
};

}  // namespace vastrel::pages
