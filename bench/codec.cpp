// Cost per PDU of the MMS codec and of the server's answer to one read, on
// a small test model and on the box's own, without sockets (Google Benchmark).
#include "iec61850/iso/association.hpp"
#include "iec61850/mms/pdu.hpp"
#include "iec61850/server/server_connection.hpp"
#include "box_model.hpp"
#include "iec61850/ied/mms_mapping.hpp"
#include "sample_model.hpp"

#include <benchmark/benchmark.h>

using namespace iec61850;

namespace {

mms::Pdu floatReadRequest(std::uint32_t invokeId)
{
    return mms::ConfirmedRequest{
        invokeId, mms::ReadRequest{false, mms::VariableAccessSpec::single(mms::ObjectName::inDomain(
                                              test_support::kCls1, "MMXU001$MX$TotW$mag$f"))}};
}

mms::Pdu floatReadResponse(std::uint32_t invokeId)
{
    return mms::ConfirmedResponse{invokeId, mms::ReadResponse{std::nullopt, {mms::Value::float32(1234.5f)}}};
}

mms::Pdu structureReadResponse()
{
    std::vector<mms::Value> members;
    for (int i = 0; i < 300; ++i)
        members.push_back(mms::Value::structure({mms::Value::structure({mms::Value::float32(0.25f * i)})}));
    return mms::ConfirmedResponse{7, mms::ReadResponse{std::nullopt, {mms::Value::structure(std::move(members))}}};
}

void encodePdu(benchmark::State& state, const mms::Pdu& pdu)
{
    ber::Writer w;
    for (auto _ : state) {
        w.clear();
        mms::encodePdu(w, pdu);
        benchmark::DoNotOptimize(w.bytes().data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * w.size()));
}

void decodePdu(benchmark::State& state, const mms::Pdu& pdu)
{
    const Bytes bytes = mms::encodePdu(pdu);
    mms::Pdu out;
    for (auto _ : state) {
        if (mms::decodePdu(bytes, out) != ber::Status::Ok)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_EncodeFloatReadRequest(benchmark::State& s) { encodePdu(s, floatReadRequest(1)); }
void BM_DecodeFloatReadRequest(benchmark::State& s) { decodePdu(s, floatReadRequest(1)); }
void BM_EncodeFloatReadResponse(benchmark::State& s) { encodePdu(s, floatReadResponse(1)); }
void BM_DecodeFloatReadResponse(benchmark::State& s) { decodePdu(s, floatReadResponse(1)); }
void BM_EncodeScheduleReadResponse(benchmark::State& s) { encodePdu(s, structureReadResponse()); }
void BM_DecodeScheduleReadResponse(benchmark::State& s) { decodePdu(s, structureReadResponse()); }

// An associated server connection on a model, fed one request over and
// over: the whole stack included, TPKT/COTP/session/presentation in, the MMS
// service, and back out.
void answerRequest(benchmark::State& state, server::MmsDataModel& model, const mms::Pdu& request)
{
    server::ServerConnection server(model, server::ServerConfig{});
    iso::ClientAssociation client({
        .onAssociated = [](ByteView) {},
        .onRefused = [](ByteView) {},
        .onData = [](ByteView) {},
        .onReleased = [] {},
        .onAborted = [] {},
    });
    auto pump = [&] {
        for (int i = 0; i < 10; ++i) {
            Bytes up = client.output().take();
            Bytes down = server.output().take();
            if (up.empty() && down.empty())
                return;
            if (!up.empty())
                server.receive(up);
            if (!down.empty())
                client.receive(down);
        }
    };
    mms::InitiateRequest initiate;
    initiate.params.localDetail = 65000;
    initiate.params.dataStructureNestingLevel = 10;
    initiate.params.parameterCbb = {0xf1, 0x00};
    initiate.params.parameterCbbBits = 11;
    initiate.params.servicesSupported = Bytes(11, 0);
    initiate.params.servicesSupportedBits = 85;
    client.connect(mms::encodePdu(initiate));
    pump();
    if (!server.associated()) {
        state.SkipWithError("no association");
        return;
    }
    client.send(mms::encodePdu(request));
    const Bytes tpkt = client.output().take();  // the same TPKT every time is fine for the server

    std::size_t answered = 0;
    for (auto _ : state) {
        server.receive(tpkt);
        answered = server.output().size();
        benchmark::DoNotOptimize(server.output().pending().data());
        server.output().clear();
    }
    state.counters["answer_bytes"] = static_cast<double>(answered);
}

void BM_ServerAnswersFloatRead(benchmark::State& state)
{
    auto model = test_support::makeSampleModel();
    answerRequest(state, *model, floatReadRequest(1));
}

// The same on the box's own model through the IEC 61850 layer: one float,
// and one whole schedule node (FC SP, 125 attributes).
ied::MmsMapping& boxMapping()
{
    static ied::MmsMapping mapping(*box::staticModel());
    return mapping;
}

void BM_BoxAnswersFloatRead(benchmark::State& state)
{
    answerRequest(state, boxMapping(), floatReadRequest(1));
}

void BM_BoxAnswersScheduleNodeRead(benchmark::State& state)
{
    answerRequest(state, boxMapping(),
                  mms::ConfirmedRequest{1, mms::ReadRequest{false, mms::VariableAccessSpec::single(mms::ObjectName::inDomain(
                                                                       test_support::kCls1, "EmpSPrg_FSCH020101$SP"))}});
}

BENCHMARK(BM_BoxAnswersFloatRead);
BENCHMARK(BM_BoxAnswersScheduleNodeRead);

BENCHMARK(BM_EncodeFloatReadRequest);
BENCHMARK(BM_DecodeFloatReadRequest);
BENCHMARK(BM_EncodeFloatReadResponse);
BENCHMARK(BM_DecodeFloatReadResponse);
BENCHMARK(BM_EncodeScheduleReadResponse);
BENCHMARK(BM_DecodeScheduleReadResponse);
BENCHMARK(BM_ServerAnswersFloatRead);

}  // namespace

BENCHMARK_MAIN();
