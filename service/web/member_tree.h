// An archive's members as a tree, each with the verdict the store holds for
// it now (a member a list holds shows that list's verdict), for the report
// page and the JSON record.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "service/store/store.h"

struct MemberNode {
    MemberListing           listing;
    Verdict                 verdict = Verdict::Unknown;
    std::string             label;
    std::vector<MemberNode> members;
};

// How far a tree is read: an archive may hold itself, and a report must stay small.
inline constexpr unsigned    kTreeDepth = 8;
inline constexpr std::size_t kTreeNodes = 2000;

// The tree under `record`, read from `store`. A member the store cannot
// read now shows as unknown.
std::vector<MemberNode> member_tree(Store& store, const FileRecord& record);
