#include "controls/ComboBox.h"

TComboBox::TComboBox(QWidget *parent) : QComboBox(parent) {
    setEditable(false);
    setMaxVisibleItems(8);
    setFocusPolicy(Qt::ClickFocus);
}

void TComboBox::setItemIndex(int index) {
    setCurrentIndex(index >= 0 && index < count() ? index : -1);
}
