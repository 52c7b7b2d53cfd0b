#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "clean/treeops.h"
#include "model/buckets.h"
#include "model/parallel.h"

namespace cleaning
{

void Flattener::Retire(unsigned node)
{
    if (!isRecording)
    {
        RetireNode(nodes[node]);
        return;
    }
    // As RetireNode, but the triangles stay until the noted merges that read
    // them are made.
    retiredNames[node] = nodes[node].name;
    LEGOPolyMesh kept = std::move(nodes[node].mesh);
    RetireNode(nodes[node]);
    nodes[node].mesh = std::move(kept);
    isRetired[node] = 1;
}

void Flattener::Play(bool copyNormals)
{
    isRecording = false;
    const std::size_t nodeCount = nodes.size();
    constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();
    // A merge may run apart from the noted order when its source gets no
    // merge after it; then every node's merges can run as soon as all its
    // sources are whole, and the nodes of one height at once.
    std::vector<std::size_t> lastIncoming(nodeCount, kNever);
    for (std::size_t i = 0; i < merges.size(); ++i)
        lastIncoming[merges[i].target] = i;
    bool isLayered = true;
    std::vector<unsigned> height(nodeCount, 0);
    std::vector<unsigned> readers(nodeCount, 0);
    for (std::size_t i = 0; i < merges.size(); ++i)
    {
        const Merge& merge = merges[i];
        if (lastIncoming[merge.source] != kNever && lastIncoming[merge.source] > i)
            isLayered = false;
        height[merge.target] = std::max(height[merge.target], height[merge.source] + 1);
        ++readers[merge.source];
    }
    std::vector<std::uint64_t> droppedFrom(nodeCount, 0);
    auto merge = [&](const Merge& m, bool keepLookups)
    {
        droppedFrom[m.target] +=
            MergeInstance(colours, nodes, m.target, m.instance, copyNormals, keepLookups);
    };
    // A retired node's triangles go once nothing is left to read them.
    auto doneReading = [&](unsigned source)
    {
        if (--readers[source] == 0 && isRetired[source])
            nodes[source].mesh.Clear();
    };
    for (unsigned n = 0; n < nodeCount; ++n)
        if (isRetired[n] && readers[n] == 0)
            nodes[n].mesh.Clear();

    if (!isLayered)
    {
        for (const Merge& m : merges)
        {
            if (wantsRoom[m.target])
            {
                ReserveMesh(m.target);
                wantsRoom[m.target] = 0;
            }
            nodes[m.source].mesh.ReleaseLookups();
            merge(m, true);
            doneReading(m.source);
        }
    }
    else
    {
        const Buckets<unsigned> byTarget =
            BuildBuckets<unsigned>(nodeCount,
                                   [&](auto emit)
                                   {
                                       for (std::size_t i = 0; i < merges.size(); ++i)
                                           emit(merges[i].target, static_cast<unsigned>(i));
                                   });
        // A retired source that only one target reads at the last height
        // reading it goes right after that target's last merge of it, while
        // the target goes on growing, rather than at the end of the height.
        std::vector<unsigned> lastHeight(nodeCount, 0);
        for (const Merge& m : merges)
            lastHeight[m.source] = std::max(lastHeight[m.source], height[m.target]);
        constexpr unsigned kNoTarget = std::numeric_limits<unsigned>::max();
        std::vector<unsigned> lastReader(nodeCount, kNoTarget);
        std::vector<unsigned> lastReaderCount(nodeCount, 0);
        std::vector<std::size_t> lastRead(nodeCount, kNever);  // in byTarget.items
        for (unsigned t = 0; t < nodeCount; ++t)
            for (unsigned i = byTarget.first[t]; i < byTarget.first[t + 1]; ++i)
            {
                const unsigned source = merges[byTarget.items[i]].source;
                if (height[t] != lastHeight[source])
                    continue;
                if (lastReader[source] != t)
                    ++lastReaderCount[source];
                lastReader[source] = t;
                lastRead[source] = i;
            }
        const auto isLastRead = [&](unsigned source, std::size_t i)
        { return isRetired[source] && lastReaderCount[source] == 1 && lastRead[source] == i; };
        // A target's sources are whole when its merges start: room for every
        // vertex they could add, so its vertex list is never copied as it
        // grows.
        auto reserveVertices = [&](unsigned t)
        {
            std::uint64_t room = nodes[t].mesh.GetVertexCount();
            for (unsigned i = byTarget.first[t]; i < byTarget.first[t + 1]; ++i)
                room += nodes[merges[byTarget.items[i]].source].mesh.GetVertexCount();
            if (room <= std::numeric_limits<unsigned>::max())
                nodes[t].mesh.ReserveVertices(static_cast<unsigned>(room));
        };
        const unsigned top = *std::max_element(height.begin(), height.end());
        const Buckets<unsigned> byHeight =
            BuildBuckets<unsigned>(std::size_t(top) + 1,
                                   [&](auto emit)
                                   {
                                       for (unsigned n = 0; n < nodeCount; ++n)
                                           if (byTarget.first[n + 1] > byTarget.first[n])
                                               emit(height[n], n);
                                   });
        for (unsigned h = 1; h <= top; ++h)
        {
            std::vector<unsigned> targets(byHeight.items.begin() + byHeight.first[h],
                                          byHeight.items.begin() + byHeight.first[h + 1]);
            // The most merges first: the split only decides the speed.
            std::stable_sort(targets.begin(), targets.end(),
                             [&](unsigned a, unsigned b) {
                                 return byTarget.first[a + 1] - byTarget.first[a] >
                                        byTarget.first[b + 1] - byTarget.first[b];
                             });
            Parallel::ForEach(targets.size(),
                              [&](std::size_t k)
                              {
                                  const unsigned t = targets[k];
                                  if (wantsRoom[t])
                                      ReserveMesh(t);
                                  reserveVertices(t);
                                  // Nothing merges into t after its last merge.
                                  const unsigned last = byTarget.first[t + 1] - 1;
                                  for (unsigned i = byTarget.first[t]; i <= last; ++i)
                                  {
                                      const Merge& m = merges[byTarget.items[i]];
                                      merge(m, i != last);
                                      if (isLastRead(m.source, i))
                                          nodes[m.source].mesh.Clear();
                                  }
                                  nodes[t].mesh.ReleaseLookups();
                              });
            for (const unsigned t : targets)
                for (unsigned i = byTarget.first[t]; i < byTarget.first[t + 1]; ++i)
                    doneReading(merges[byTarget.items[i]].source);
        }
    }
    for (unsigned n = 0; n < nodeCount; ++n)
    {
        if (droppedFrom[n] == 0)
            continue;
        auto& drop = dropped[n];
        drop.first = isRetired[n] ? retiredNames[n] : nodes[n].name;
        drop.second += droppedFrom[n];
    }
    std::vector<Merge>().swap(merges);
}

}  // namespace cleaning
