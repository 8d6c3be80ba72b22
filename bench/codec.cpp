// Cost per PDU of the MMS codec and of the server's answer to one read,
// without sockets (Google Benchmark).
#include "iec61850/iso/association.hpp"
#include "iec61850/mms/pdu.hpp"
#include "iec61850/server/server_connection.hpp"
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

// One associated server connection answering a single-float read, the whole
// stack included: TPKT/COTP/session/presentation in, MMS read, and back out.
void BM_ServerAnswersFloatRead(benchmark::State& state)
{
    auto model = test_support::makeSampleModel();
    server::ServerConnection server(*model, server::ServerConfig{});
    Bytes request;
    iso::ClientAssociation client({
        .onAssociated = [](ByteView) {},
        .onRefused = [](ByteView) {},
        .onData = [](ByteView) {},
        .onReleased = [] {},
        .onAborted = [] {},
    });
    auto pump = [&] {
        for (int i = 0; i < 10; ++i) {
            Bytes up = std::exchange(client.output(), {});
            Bytes down = std::exchange(server.output(), {});
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
    client.send(mms::encodePdu(floatReadRequest(1)));
    request = std::exchange(client.output(), {});  // the same TPKT every time is fine for the server

    for (auto _ : state) {
        server.receive(request);
        Bytes& out = server.output();
        benchmark::DoNotOptimize(out.data());
        out.clear();
    }
}

BENCHMARK(BM_EncodeFloatReadRequest);
BENCHMARK(BM_DecodeFloatReadRequest);
BENCHMARK(BM_EncodeFloatReadResponse);
BENCHMARK(BM_DecodeFloatReadResponse);
BENCHMARK(BM_EncodeScheduleReadResponse);
BENCHMARK(BM_DecodeScheduleReadResponse);
BENCHMARK(BM_ServerAnswersFloatRead);

}  // namespace

BENCHMARK_MAIN();
