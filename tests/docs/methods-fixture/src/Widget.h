#pragma once
// Widget::Missing is mentioned here only.
namespace gadget {

class Widget;
enum class Shape { Square, Round };

class Widget
    : public Base
{
public:
    void Declared();  // Missing
    void Run(bool fast);
    void Defined();
    static constexpr int kLimit = 3;
    struct Inner {
        int depth = 0;
    };
};

struct Other {
    int OtherOnly = 0;
};

Widget MakeWidget();

} // namespace gadget
