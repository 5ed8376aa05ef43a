#include "BoardList.h"

#include "scales/Targets.h"

std::string TBoardList::CheckTarget(const std::string& target) {
    try {
        scales::ParseTarget(target);
        return {};
    } catch (const scales::TargetError& e) {
        return e.what();
    }
}

void TBoardList::Read() {
    FList = scales::ReadScaleList(scales::ScaleListPath(), CheckTarget);
}

std::string TBoardList::Change(const std::function<std::string(scales::ScaleList&)>& edit) {
    const std::string path = scales::ScaleListPath();
    scales::ScaleList list = scales::ReadScaleList(path, CheckTarget);
    for (const auto& problem : list.Problems())
        if (problem.line == 0) return problem.message;
    if (std::string error = edit(list); !error.empty()) return error;
    try {
        scales::WriteScaleList(path, list);
    } catch (const std::exception& e) {
        return e.what();
    }
    FList = std::move(list);
    return {};
}
