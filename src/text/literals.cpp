#include "text/literals.hpp"

#include <algorithm>
#include <map>
#include <queue>

namespace tessarin {

template <typename Char> std::uint32_t LiteralSet<Char>::wide_class(char32_t c) const noexcept
{
    const auto found = std::lower_bound(wide_classes_.begin(), wide_classes_.end(), std::pair<char32_t, std::uint32_t>(c, 0));
    return found != wide_classes_.end() && found->first == c ? found->second : 0;
}

template <typename Char> LiteralSet<Char>::LiteralSet(const std::vector<std::u32string>& needles, AsciiFold fold)
{
    // The needles as units; those that cannot occur are left out of the
    // automaton but keep their ids.
    std::vector<std::basic_string<Char>> units(needles.size());
    std::vector<bool> kept(needles.size());
    lengths_.resize(needles.size());
    for (std::size_t i = 0; i < needles.size(); ++i) {
        lengths_[i] = needles[i].size();
        kept[i] = !needles[i].empty() && narrow_units(needles[i], units[i]);
    }

    // Classes: 0 for every unit in no needle, then one per distinct unit.
    std::vector<char32_t> distinct;
    for (std::size_t i = 0; i < needles.size(); ++i)
        if (kept[i])
            for (const Char unit : units[i])
                distinct.push_back(code_point(unit));
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    classes_ = distinct.size() + 1;
    const auto class_id = [&](char32_t c) -> std::uint32_t {
        const auto found = std::lower_bound(distinct.begin(), distinct.end(), c);
        return found != distinct.end() && *found == c ? static_cast<std::uint32_t>(found - distinct.begin() + 1) : 0;
    };
    // A raw unit of ASCII is read as its fold.
    for (char32_t c = 0; c < 0x100; ++c)
        low_classes_[c] = class_id(c < 0x80 ? static_cast<char32_t>(fold(static_cast<char>(c))) : c);
    block_of_.assign(256, 0);
    block_classes_.assign(256, 0); // block 0: every class 0
    for (const char32_t c : distinct) {
        if (c < 0x100) continue;
        if (c < 0x10000) {
            std::uint16_t& block = block_of_[c >> 8];
            if (block == 0) {
                block = static_cast<std::uint16_t>(block_classes_.size() / 256);
                block_classes_.resize(block_classes_.size() + 256, 0);
            }
            block_classes_[(static_cast<std::size_t>(block) << 8) | (c & 0xFF)] = class_id(c);
        } else {
            wide_classes_.emplace_back(c, class_id(c));
        }
    }

    // The trie: children by class, the needles that end at each node.
    std::vector<std::map<std::uint32_t, std::uint32_t>> children(1);
    std::vector<std::vector<std::uint32_t>> ends(1);
    for (std::size_t i = 0; i < needles.size(); ++i) {
        if (!kept[i]) continue;
        std::uint32_t node = 0;
        for (const Char unit : units[i]) {
            const std::uint32_t cls = class_id(code_point(unit));
            const auto child = children[node].find(cls);
            if (child != children[node].end()) {
                node = child->second;
                continue;
            }
            const auto created = static_cast<std::uint32_t>(children.size());
            children[node].emplace(cls, created);
            children.emplace_back();
            ends.emplace_back();
            node = created;
        }
        ends[node].push_back(static_cast<std::uint32_t>(i));
    }

    // Breadth first: each node's failure (its longest proper suffix that
    // is a trie node), its full transitions, and its output link (its
    // longest proper suffix at which a needle ends).
    const std::size_t nodes = children.size();
    std::vector<std::uint32_t> failure(nodes, 0), link(nodes, 0), next(nodes * classes_, 0);
    std::vector<bool> reports(nodes, false);
    std::queue<std::uint32_t> pending;
    for (const auto& [cls, child] : children[0]) {
        next[cls] = child;
        pending.push(child);
    }
    while (!pending.empty()) {
        const std::uint32_t node = pending.front();
        pending.pop();
        const std::uint32_t fail = failure[node];
        link[node] = !ends[fail].empty() ? fail : link[fail];
        reports[node] = !ends[node].empty() || link[node] != 0; // a link always leads to a node with needles
        for (std::size_t cls = 0; cls < classes_; ++cls)
            next[node * classes_ + cls] = next[fail * classes_ + cls];
        for (const auto& [cls, child] : children[node]) {
            failure[child] = next[fail * classes_ + cls];
            next[node * classes_ + cls] = child;
            pending.push(child);
        }
    }

    // Renumbered: the nodes that report last, so that one comparison
    // tells whether a step reports.
    std::vector<std::uint32_t> number(nodes);
    std::uint32_t quiet = 0;
    for (std::size_t node = 0; node < nodes; ++node)
        if (!reports[node]) number[node] = quiet++;
    first_output_state_ = quiet;
    std::uint32_t loud = quiet;
    for (std::size_t node = 0; node < nodes; ++node)
        if (reports[node]) number[node] = loud++;
    next_.assign(nodes * classes_, 0);
    for (std::size_t node = 0; node < nodes; ++node)
        for (std::size_t cls = 0; cls < classes_; ++cls)
            next_[number[node] * classes_ + cls] = number[next[node * classes_ + cls]];
    const std::size_t loud_count = nodes - quiet;
    output_link_.assign(loud_count, 0);
    ids_begin_.assign(loud_count + 1, 0);
    std::vector<std::vector<std::uint32_t>> ids_of(loud_count);
    for (std::size_t node = 0; node < nodes; ++node) {
        if (!reports[node]) continue;
        const std::uint32_t at = number[node] - quiet;
        // A link to a node without needles of its own ends the chain.
        output_link_[at] = link[node] != 0 ? number[link[node]] : 0;
        ids_of[at] = ends[node];
    }
    for (std::size_t at = 0; at < loud_count; ++at) {
        ids_begin_[at] = static_cast<std::uint32_t>(ids_.size());
        ids_.insert(ids_.end(), ids_of[at].begin(), ids_of[at].end());
    }
    ids_begin_[loud_count] = static_cast<std::uint32_t>(ids_.size());
}

template class LiteralSet<char>;
template class LiteralSet<char16_t>;
template class LiteralSet<char32_t>;

} // namespace tessarin
