#include "service/web/member_tree.h"

namespace {

void grow(Store& store, const std::vector<MemberListing>& members, unsigned depth,
          std::size_t& nodes, std::vector<MemberNode>& out)
{
    for (const MemberListing& member : members) {
        if (nodes >= kTreeNodes)
            return;
        ++nodes;
        MemberNode node;
        node.listing = member;
        FileRecord record;
        std::string error;
        if (member.md5 && store.find_md5(*member.md5, record, error) == StoreStatus::Ok) {
            node.verdict = record.verdict;
            node.label = record.label;
            if (depth + 1 < kTreeDepth)
                grow(store, record.members, depth + 1, nodes, node.members);
        }
        out.push_back(std::move(node));
    }
}

}  // namespace

std::vector<MemberNode> member_tree(Store& store, const FileRecord& record)
{
    std::vector<MemberNode> tree;
    std::size_t nodes = 0;
    grow(store, record.members, 0, nodes, tree);
    return tree;
}
