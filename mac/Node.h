// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The album list: a singly linked list behind a head with an empty sentinel;
// nodes are numbered from 1 after the sentinel. Row i of the album-list
// browser shows node i.

#include <string>

namespace kestova::mac {

struct FileData {
    std::string bitmapPath;  // display bitmap in the data work folder
    std::string name;        // work-file name, also the row text
    FileData* next = nullptr;
};

struct FileDataHead {
    int count = 0;
    FileData* first = nullptr;  // the sentinel
};

FileDataHead* CreateList();
// Appends at the end; false for a null head or node.
bool AddNode(FileDataHead* head, FileData* node);
// Removes node n (from 1) and returns it to the caller, who frees it; null
// when there is no such node.
FileData* DelNode(FileDataHead* head, int n);
// Node n; 0 gives the sentinel, an n beyond the count gives the last node.
FileData* GetNode(FileDataHead* head, int n);
void FreeList(FileDataHead* head);

} // namespace kestova::mac
