// SPDX-License-Identifier: GPL-3.0-or-later
#include "mac/Node.h"

namespace kestova::mac {

FileDataHead* CreateList()
{
    auto* head = new FileDataHead;
    head->first = new FileData;
    return head;
}

bool AddNode(FileDataHead* head, FileData* node)
{
    if (!head || !node || !head->first)
        return false;
    FileData* last = head->first;
    while (last->next)
        last = last->next;
    node->next = nullptr;
    last->next = node;
    ++head->count;
    return true;
}

FileData* DelNode(FileDataHead* head, int n)
{
    if (!head || !head->first || n < 1 || n > head->count)
        return nullptr;
    FileData* prev = head->first;
    for (int i = 1; i < n; ++i)
        prev = prev->next;
    FileData* node = prev->next;
    prev->next = node->next;
    node->next = nullptr;
    --head->count;
    return node;
}

FileData* GetNode(FileDataHead* head, int n)
{
    if (!head || !head->first)
        return nullptr;
    FileData* node = head->first;
    for (int i = 0; i < n && node->next; ++i)
        node = node->next;
    return node;
}

void FreeList(FileDataHead* head)
{
    if (!head)
        return;
    FileData* node = head->first;
    while (node) {
        FileData* next = node->next;
        delete node;
        node = next;
    }
    delete head;
}

} // namespace kestova::mac
