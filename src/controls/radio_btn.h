// CRadioBtn: a radio button drawn from our own indicator images, with its own text and background
// colours (see ColouredIndicator).
#pragma once

#include <QRadioButton>

#include "controls/indicator_button.h"

namespace qxfw::controls {

class CRadioBtn : public ColouredIndicator<QRadioButton> {
  Q_OBJECT

 public:
  using ColouredIndicator::ColouredIndicator;

 protected:
  const char* Kind() const override { return "radio"; }
};

}  // namespace qxfw::controls
