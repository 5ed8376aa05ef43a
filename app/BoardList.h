#pragma once
// The settings folder's list of scales as the board edits it: read again
// before every change and written whole, every other line kept.
#include <functional>
#include <string>

#include "scales/ScaleList.h"

class TBoardList {
public:
    // Reads the file again.
    void Read();
    const scales::ScaleList& List() const { return FList; }
    // Re-reads the file (it may have been edited by hand since it was shown),
    // lets `edit` change it and writes it; the error text, or "" and the list
    // is the one written (its bad lines numbered as they are now).
    std::string Change(const std::function<std::string(scales::ScaleList&)>& edit);

    // The error in a target's text, or "".
    static std::string CheckTarget(const std::string& target);
    // What stops `target` from joining `list` although its text is new: a listed
    // scale under another spelling (the same address and port once looked up,
    // the same device after symbolic links), or a UDP scale with only an IPv6
    // address; "" when none. `ignore`: the entry being edited, else -1. Host
    // names are looked up: the event loop runs.
    static std::string CheckSameScale(const scales::ScaleList& list, const std::string& target, int ignore);

private:
    scales::ScaleList FList;
};
