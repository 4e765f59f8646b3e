// The drop-down list with no free text: an item index of 0 to count − 1,
// or −1 when nothing is selected.
#pragma once

#include <QComboBox>

class TComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TComboBox(QWidget *parent = nullptr);
    int ItemIndex() const { return currentIndex(); }
    /// An index outside the list clears the selection.
    void setItemIndex(int index);
};
