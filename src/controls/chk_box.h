// CChkBox: a check box drawn from our own indicator images, with its own text and background
// colours (see ColouredIndicator).
#pragma once

#include <QCheckBox>

#include "controls/indicator_button.h"

namespace qxfw::controls {

class CChkBox : public ColouredIndicator<QCheckBox> {
  Q_OBJECT

 public:
  using ColouredIndicator::ColouredIndicator;

 protected:
  const char* Kind() const override { return "check"; }
};

}  // namespace qxfw::controls
