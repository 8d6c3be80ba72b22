// scl-export: writes the box's model as an SCL (ICD) file for SCADA engineering.
#include "box_classes.hpp"
#include "box_model.hpp"

#include "iec61850/ied/iec61850_server.hpp"
#include "iec61850/ied/mms_value_api.hpp"
#include "iec61850/scl/scl_export.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

namespace {

constexpr std::uint16_t kMmsPort = 4102;

struct Arguments {
    std::string file;
    std::string ipAddress = "0.0.0.0";
    bool values = true;
    bool help = false;
    std::string error;
};

Arguments parse(int argc, char** argv)
{
    Arguments a;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help")
            a.help = true;
        else if (arg == "--no-values")
            a.values = false;
        else if (arg == "--ip" && i + 1 < argc)
            a.ipAddress = argv[++i];
        else if (arg.starts_with("-") && arg != "-")
            a.error = "unknown option " + arg;
        else if (a.file.empty())
            a.file = arg;
        else
            a.error = "more than one output file";
    }
    return a;
}

void usage(std::ostream& out)
{
    out << "usage: scl-export [--ip ADDRESS] [--no-values] [FILE]\n"
           "Writes the IEC 61850 model of " << box::kIedName << " as an SCL (ICD) document to FILE\n"
           "or, without FILE or with '-', to standard output.\n"
           "  --ip ADDRESS   IP address of the access point (default 0.0.0.0)\n"
           "  --no-values    leave out the configured values (DOI/DAI)\n";
}

std::string configRevision()
{
    const DataAttribute* rev = box::findDataAttribute("STB", "LLN0", "NamPlt", "configRev");
    const char* text = rev ? MmsValue_toString(rev->mmsValue) : nullptr;
    return text && *text ? text : "1.0";
}

iec61850::scl::ExportOptions options(const Arguments& a)
{
    iec61850::scl::ExportOptions o;
    o.ipAddress = a.ipAddress;
    o.mmsPort = kMmsPort;
    o.iedType = "Steuerbox";
    o.description = "FNN control box: active power set-points by schedules";
    o.configVersion = configRevision();
    o.classify = box::classOfObject;
    o.values = a.values;
    return o;
}

// The values exist while a server is created on the model (its initializer
// sets the start values); the server is never started.
int exportModel(const Arguments& a)
{
    IedServer server = IedServer_create(box::staticModel());
    if (!server) {
        std::cerr << "scl-export: the model cannot be served\n";
        return 1;
    }
    const iec61850::scl::ExportOptions o = options(a);
    int status = 0;
    if (a.file.empty() || a.file == "-") {
        iec61850::scl::writeScl(std::cout, *box::staticModel(), o);
        std::cout.flush();
        status = std::cout ? 0 : 1;
    } else {
        std::ofstream out(a.file, std::ios::binary | std::ios::trunc);
        if (out)
            iec61850::scl::writeScl(out, *box::staticModel(), o);
        out.close();
        if (!out) {
            std::cerr << "scl-export: cannot write " << a.file << ": " << std::strerror(errno) << '\n';
            status = 1;
        }
    }
    IedServer_destroy(server);
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    const Arguments a = parse(argc, argv);
    if (a.help) {
        usage(std::cout);
        return 0;
    }
    if (!a.error.empty()) {
        std::cerr << "scl-export: " << a.error << '\n';
        usage(std::cerr);
        return 2;
    }
    return exportModel(a);
}
