#include "Widget.h"

namespace gadget {

void Widget::Defined() {}

int Use() { return Widget::Used; }

} // namespace gadget
