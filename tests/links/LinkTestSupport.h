#pragma once
// What a link told its listener, for the link tests of every kind.
#include <cstdint>
#include <string>
#include <vector>

#include "links/Link.h"

struct Told : TLinkListener {
    void LinkOpened() override { ++opened; }
    void LinkReceived(const std::string& text) override { got += text; }
    void LinkStateChanged(std::uint8_t state) override { states.push_back(state); }
    void LinkFailed(const TLinkFailure& failure) override { failures.push_back(failure); }
    void LinkWrote(const std::string& bytes) override { wrote.push_back(bytes); }

    // Everything written, in one text.
    std::string Wrote() const {
        std::string all;
        for (const std::string& w : wrote)
            all += w;
        return all;
    }

    int opened = 0;
    std::string got;
    std::vector<int> states;
    std::vector<TLinkFailure> failures;
    std::vector<std::string> wrote;
};
