// iec-values: saves the box model's values to an XML value file, or loads such
// a file into the model (and saves the result), without serving the model.
#include "box_model.hpp"
#include "value_store.hpp"

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr int kFileFailed = 1;
constexpr int kUsage = 2;

int usage()
{
    std::cerr << "usage: iec-values save [FILE]\n"
                 "       iec-values load [FILE [OUT]]\n"
                 "save: writes the model's start values to FILE.\n"
                 "load: loads FILE into the model with its start values, then writes the\n"
                 "      model to OUT when given.\n"
                 "FILE defaults to "
              << persistence::kValuesFileName << " in the working directory.\n";
    return kUsage;
}

// A server on the box's model, never started: it holds the values.
class ModelValues {
public:
    ModelValues() : server_(IedServer_create(box::staticModel())) {}
    ~ModelValues() { IedServer_destroy(server_); }
    ModelValues(const ModelValues&) = delete;
    ModelValues& operator=(const ModelValues&) = delete;
    IedServer server() const { return server_; }

private:
    IedServer server_;
};

int save(const std::string& file)
{
    ModelValues values;
    return persistence::save_all_IEC_values_in_XML(values.server(), file) ? 0 : kFileFailed;
}

int load(const std::string& file, const std::string& out)
{
    ModelValues values;
    const persistence::LoadResult result = persistence::load_all_IEC_values_from_XML(values.server(), file);
    if (!result.fileRead)
        return kFileFailed;
    std::cout << result.applied << " values applied, " << result.rejected << " entries rejected" << std::endl;
    if (out.empty())
        return 0;
    return persistence::save_all_IEC_values_in_XML(values.server(), out) ? 0 : kFileFailed;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args.size() > 3)
        return usage();
    const std::string file = args.size() > 1 ? args[1] : persistence::kValuesFileName;
    if (args[0] == "save" && args.size() <= 2)
        return save(file);
    if (args[0] == "load")
        return load(file, args.size() > 2 ? args[2] : std::string());
    return usage();
}
