// Time to create a server on the box's model and start listening, and the
// heap the model and the created server hold.
#include "box_model.hpp"

#include "iec61850/ied/iec61850_server.hpp"

#include <chrono>
#include <cstdio>
#include <malloc.h>

namespace {

std::size_t heapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

double msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main()
{
    const std::size_t heapBefore = heapInUse();
    auto start = std::chrono::steady_clock::now();
    IedModel* model = box::staticModel();
    const double buildMs = msSince(start);
    const std::size_t heapModel = heapInUse();

    start = std::chrono::steady_clock::now();
    IedServer server = IedServer_create(model);
    IedServer_setLocalIpAddress(server, "127.0.0.1");
    IedServer_startThreadless(server, 0);
    const double listenMs = msSince(start);
    const std::size_t heapServer = heapInUse();
    if (!IedServer_isRunning(server)) {
        std::fprintf(stderr, "server did not start\n");
        return 1;
    }

    start = std::chrono::steady_clock::now();
    model->initializer();  // once more, alone: the share of the start values
    const double startValuesMs = msSince(start);

    std::printf("build model tree          %8.2f ms\n", buildMs);
    std::printf("create server and listen  %8.2f ms\n", listenMs);
    std::printf("  of which start values   %8.2f ms\n", startValuesMs);
    std::printf("total                     %8.2f ms\n", buildMs + listenMs);
    std::printf("heap: model tree          %8.1f KiB (arena %zu KiB)\n", (heapModel - heapBefore) / 1024.0,
                box::staticModelBytes() / 1024);
    std::printf("heap: server and values   %8.1f KiB\n", (heapServer - heapModel) / 1024.0);
    std::printf("heap: total               %8.1f KiB\n", (heapServer - heapBefore) / 1024.0);
    std::printf("start values              %8d\n", box::lastStartValueCounts().total());
    IedServer_stop(server);
    IedServer_destroy(server);
    return 0;
}
