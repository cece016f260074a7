#include "path_flow.h"

#include <lemon/network_simplex.h>
#include <lemon/smart_graph.h>

#include <stdexcept>

namespace ambrevo {

PathCover cover_paths(const std::vector<long long>& cover, const std::vector<PathJoin>& joins, int paths,
                      long long start) {
    using Graph = lemon::SmartDigraph;
    Graph g;
    const Graph::Node source = g.addNode(), sink = g.addNode();
    std::vector<Graph::Node> in(cover.size()), out(cover.size());
    std::vector<Graph::Arc> body(cover.size()), joined;
    Graph::ArcMap<int> capacity(g);
    Graph::ArcMap<long long> cost(g);
    auto arc = [&](Graph::Node a, Graph::Node b, int cap, long long c) {
        const Graph::Arc e = g.addArc(a, b);
        capacity[e] = cap, cost[e] = c;
        return e;
    };
    for (size_t k = 0; k < cover.size(); ++k) {
        in[k] = g.addNode(), out[k] = g.addNode();
        body[k] = arc(in[k], out[k], 1, cover[k]);
        arc(source, in[k], 1, start);
        arc(out[k], sink, 1, 0);
    }
    arc(source, sink, paths, 0);
    for (const PathJoin& j : joins) joined.push_back(arc(out[size_t(j.from)], in[size_t(j.to)], 1, j.cost));

    lemon::NetworkSimplex<Graph, int, long long> flow(g);
    flow.upperMap(capacity).costMap(cost).stSupply(source, sink, paths);
    if (flow.run() != lemon::NetworkSimplex<Graph, int, long long>::OPTIMAL)
        throw std::logic_error("the path flow has no optimum");  // the source-sink arc makes it feasible
    PathCover result{std::vector<int>(cover.size(), -1), std::vector<bool>(cover.size(), false)};
    for (size_t k = 0; k < cover.size(); ++k) result.covered[k] = flow.flow(body[k]) > 0;
    for (size_t j = 0; j < joins.size(); ++j)
        if (flow.flow(joined[j]) > 0) result.next[size_t(joins[j].from)] = joins[j].to;
    return result;
}

}  // namespace ambrevo
