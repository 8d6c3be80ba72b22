// Costs of the IEC 61850 server layer (Google Benchmark): one attribute
// update, a read of a whole logical node (server side only, and over
// loopback TCP), and the heap bytes per data attribute of a large model.
#include "iec61850/client/mms_connection.hpp"
#include "iec61850/ied/iec61850_server.hpp"
#include "iec61850/ied/mms_mapping.hpp"

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace iec61850;
using ied::AttributeShape;
using ied::ModelBuilder;

namespace {

constexpr const char* kDomain = "BENCHCLS1";
constexpr const char* kScheduleNode = "EmpSPrg_FSCH020001";

constexpr AttributeShape kMv[] = {{"mag$f", IEC61850_FC_MX, IEC61850_FLOAT32, TRG_OPT_DATA_CHANGED},
                                  {"q", IEC61850_FC_MX, IEC61850_QUALITY, TRG_OPT_QUALITY_CHANGED},
                                  {"t", IEC61850_FC_MX, IEC61850_TIMESTAMP}};
constexpr AttributeShape kSps[] = {{"stVal", IEC61850_FC_ST, IEC61850_BOOLEAN, TRG_OPT_DATA_CHANGED},
                                   {"q", IEC61850_FC_ST, IEC61850_QUALITY, TRG_OPT_QUALITY_CHANGED},
                                   {"t", IEC61850_FC_ST, IEC61850_TIMESTAMP}};
constexpr AttributeShape kAsg[] = {{"setMag$f", IEC61850_FC_SP, IEC61850_FLOAT32}};
constexpr AttributeShape kTm[] = {{"setTm", IEC61850_FC_SP, IEC61850_TIMESTAMP}};
constexpr AttributeShape kIng[] = {{"setVal", IEC61850_FC_SP, IEC61850_INT32}};
constexpr AttributeShape kSpc[] = {{"stVal", IEC61850_FC_ST, IEC61850_BOOLEAN, TRG_OPT_DATA_CHANGED},
                                   {"q", IEC61850_FC_ST, IEC61850_QUALITY, TRG_OPT_QUALITY_CHANGED},
                                   {"t", IEC61850_FC_ST, IEC61850_TIMESTAMP},
                                   {"Oper$ctlVal", IEC61850_FC_CO, IEC61850_BOOLEAN},
                                   {"Oper$origin$orCat", IEC61850_FC_CO, IEC61850_ENUMERATED},
                                   {"Oper$origin$orIdent", IEC61850_FC_CO, IEC61850_OCTET_STRING_64},
                                   {"Oper$ctlNum", IEC61850_FC_CO, IEC61850_INT8U},
                                   {"Oper$T", IEC61850_FC_CO, IEC61850_TIMESTAMP},
                                   {"Oper$Test", IEC61850_FC_CO, IEC61850_BOOLEAN},
                                   {"Oper$Check", IEC61850_FC_CO, IEC61850_CHECK},
                                   {"ctlModel", IEC61850_FC_CF, IEC61850_ENUMERATED}};
constexpr AttributeShape kNamePlate[] = {{"d", IEC61850_FC_DC, IEC61850_VISIBLE_STRING_255}};

std::string numbered(const char* prefix, int i, int digits)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%0*d", prefix, digits, i);
    return buf;
}

// A schedule node shaped like the box's: 300 values, 16 start times, its
// settings, status, a measured value and a control (some 340 data objects).
ModelBuilder scheduleModel()
{
    ModelBuilder b("BENCH");
    LogicalNode* ln = b.node(b.device("CLS1"), kScheduleNode);
    b.object(ln, "Beh", kSps);
    b.object(ln, "SchdSt", kSps);
    b.object(ln, "ValMV", kMv);
    b.object(ln, "EnaReq", kSpc);
    b.object(ln, "NamPlt", kNamePlate);
    for (const char* name : {"SchdPrio", "NumEntr", "SchdIntv", "SchdReuse"})
        b.object(ln, name, kIng);
    for (int i = 1; i <= 300; ++i)
        b.object(ln, numbered("ValASG", i, 3), kAsg);
    for (int i = 1; i <= 16; ++i)
        b.object(ln, numbered("StrTm", i, 2), kTm);
    return b;
}

DataAttribute* attribute(IedModel* model, const char* reference)
{
    return static_cast<DataAttribute*>(IedModel_getModelNodeByObjectReference(model, reference));
}

void BM_UpdateFloatWithoutSubscriber(benchmark::State& state)
{
    ModelBuilder b = scheduleModel();
    IedServer server = IedServer_create(b.model());
    DataAttribute* f = attribute(b.model(), "CLS1/EmpSPrg_FSCH020001.ValMV.mag.f");
    if (!server || !f) {
        state.SkipWithError("no model");
        return;
    }
    float v = 0;
    for (auto _ : state)
        IedServer_updateFloatAttributeValue(server, f, v += 0.5f);
    IedServer_destroy(server);
}

// The server's part of a whole-node read: the value built from the model and encoded.
void BM_ReadScheduleNodeServerSide(benchmark::State& state)
{
    ModelBuilder b = scheduleModel();
    ied::MmsMapping mapping(*b.model());
    server::ClientContext client;
    ber::Writer w;
    for (auto _ : state) {
        const mms::Value v = mapping.read(client, kDomain, kScheduleNode);
        w.clear();
        v.encode(w);
        benchmark::DoNotOptimize(w.bytes().data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * w.size()));
}

void BM_ReadScheduleNodeOverLoopback(benchmark::State& state)
{
    ModelBuilder b = scheduleModel();
    IedServer server = IedServer_create(b.model());
    IedServer_setLocalIpAddress(server, "127.0.0.1");
    IedServer_start(server, 0);
    client::MmsConnection connection;
    client::ConnectOptions options;
    options.port = static_cast<std::uint16_t>(IedServer_getPort(server));
    if (!IedServer_isRunning(server) || !connection.connect(options).ok()) {
        state.SkipWithError("no connection");
    } else {
        for (auto _ : state) {
            auto r = connection.read(kDomain, kScheduleNode);
            if (!r.ok()) {
                state.SkipWithError(r.error().describe().c_str());
                break;
            }
            benchmark::DoNotOptimize(r);
        }
        (void)connection.release();
    }
    IedServer_stop(server);
    IedServer_destroy(server);
}

int countAttributes(ModelNode* node)
{
    int n = node->modelType == DataAttributeModelType ? 1 : 0;
    for (ModelNode* c = node->firstChild; c; c = c->sibling)
        n += countAttributes(c);
    return n;
}

// Heap per data attribute of a 25,000-attribute model: the model itself
// (builder arena) and the server's values on top (measured once).
void BM_MemoryPerAttribute(benchmark::State& state)
{
    constexpr int kNodes = 143;  // 25 MV + 25 SPS each: 175 attributes per node
    for (auto _ : state) {
        const std::size_t start = mallinfo2().uordblks;
        ModelBuilder b("BENCH");
        LogicalDevice* ld = b.device("CLS1");
        for (int i = 1; i <= kNodes; ++i) {
            LogicalNode* ln = b.node(ld, numbered("GGIO", i, 3));
            for (int d = 1; d <= 25; ++d) {
                b.object(ln, numbered("AnIn", d, 2), kMv);
                b.object(ln, numbered("Ind", d, 2), kSps);
            }
        }
        const std::size_t modelBytes = mallinfo2().uordblks - start;
        IedServer server = IedServer_create(b.model());
        const std::size_t serverBytes = mallinfo2().uordblks - start - modelBytes;

        int attributes = 0;
        for (LogicalDevice* d = b.model()->firstChild; d; d = static_cast<LogicalDevice*>(d->sibling))
            attributes += countAttributes(d);
        state.counters["attributes"] = attributes;
        state.counters["model_bytes_per_attribute"] = static_cast<double>(modelBytes) / attributes;
        state.counters["server_bytes_per_attribute"] = static_cast<double>(serverBytes) / attributes;
        state.counters["total_bytes_per_attribute"] = static_cast<double>(modelBytes + serverBytes) / attributes;
        IedServer_destroy(server);
    }
}

BENCHMARK(BM_UpdateFloatWithoutSubscriber);
BENCHMARK(BM_ReadScheduleNodeServerSide);
BENCHMARK(BM_ReadScheduleNodeOverLoopback)->UseRealTime();
BENCHMARK(BM_MemoryPerAttribute)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
