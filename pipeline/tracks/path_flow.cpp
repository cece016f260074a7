#include "tracks/path_flow.h"

#include <lemon/network_simplex.h>
#include <lemon/smart_graph.h>

#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

namespace ambrevo {

namespace {

// The flow's graph, held by a pointer of its own: a flow left running when a stop comes keeps it.
struct FlowProblem {
    using Graph = lemon::SmartDigraph;
    Graph g;
    Graph::ArcMap<int> capacity{g};
    Graph::ArcMap<long long> cost{g};
    Graph::Node source = g.addNode(), sink = g.addNode();
    Graph::Arc arc(Graph::Node a, Graph::Node b, int cap, long long c) {
        const Graph::Arc e = g.addArc(a, b);
        capacity[e] = cap, cost[e] = c;
        return e;
    }
};

// The least-cost flow of `paths` units from source to sink: each arc's flow, by its id.
std::vector<int> solveFlow(std::shared_ptr<FlowProblem> problem, int paths, const StopToken& stop) {
    using Simplex = lemon::NetworkSimplex<FlowProblem::Graph, int, long long>;
    std::packaged_task<std::vector<int>()> task([problem, paths] {
        Simplex flow(problem->g);
        flow.upperMap(problem->capacity).costMap(problem->cost).stSupply(problem->source, problem->sink, paths);
        if (flow.run() != Simplex::OPTIMAL)
            throw std::logic_error("the linking flow has no optimum");  // the source-sink arc makes it feasible
        std::vector<int> out(size_t(problem->g.maxArcId() + 1), 0);
        for (FlowProblem::Graph::ArcIt a(problem->g); a != lemon::INVALID; ++a) out[size_t(problem->g.id(a))] = flow.flow(a);
        return out;
    });
    std::future<std::vector<int>> result = task.get_future();
    std::thread(std::move(task)).detach();
    while (result.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready)
        if (const int request = stop.request()) throw StopRequested(request);
    return result.get();
}

}  // namespace

PathCover cover_paths(const std::vector<long long>& cover, const std::vector<PathJoin>& joins, int paths,
                      long long start, const StopToken& stop) {
    using Graph = FlowProblem::Graph;
    auto problem = std::make_shared<FlowProblem>();
    FlowProblem& f = *problem;
    std::vector<Graph::Node> in(cover.size()), out(cover.size());
    std::vector<Graph::Arc> body(cover.size()), joined;
    for (size_t k = 0; k < cover.size(); ++k) {
        in[k] = f.g.addNode(), out[k] = f.g.addNode();
        body[k] = f.arc(in[k], out[k], 1, cover[k]);
        f.arc(f.source, in[k], 1, start);
        f.arc(out[k], f.sink, 1, 0);
    }
    f.arc(f.source, f.sink, paths, 0);
    for (const PathJoin& j : joins) joined.push_back(f.arc(out[size_t(j.from)], in[size_t(j.to)], 1, j.cost));

    const std::vector<int> flow = solveFlow(std::move(problem), paths, stop);
    PathCover result{std::vector<int>(cover.size(), -1), std::vector<bool>(cover.size(), false)};
    for (size_t k = 0; k < cover.size(); ++k) result.covered[k] = flow[size_t(Graph::id(body[k]))] > 0;
    for (size_t j = 0; j < joins.size(); ++j)
        if (flow[size_t(Graph::id(joined[j]))] > 0) result.next[size_t(joins[j].from)] = joins[j].to;
    return result;
}

}  // namespace ambrevo
