// The whole tree of FNN_STEUERBOX with its start values, data sets and control
// blocks, compared with tests/data/box/model_tree.txt.
#include "../box_test_support.hpp"
#include "child_process.hpp"

#include <fstream>
#include <map>

namespace {

// Every attribute below a node as " name FC type triggers[=start value]".
void describe(IedServer server, ModelNode* node, const std::string& prefix, std::string& out)
{
    for (ModelNode* c = node->firstChild; c; c = c->sibling) {
        auto* a = static_cast<DataAttribute*>(c);
        const char* fc = FunctionalConstraint_toString(a->fc);
        out += " " + prefix + a->name + " " + (fc ? fc : "-") + " " + std::to_string(a->type) + " " +
               std::to_string(a->triggerOptions) + (a->elementCount ? "[" + std::to_string(a->elementCount) + "]" : "");
        if (!a->firstChild)
            if (const MmsValue* v = IedServer_getAttributeValue(server, a))
                out += "=" + v->toString();
        describe(server, a, prefix + a->name + "$", out);
    }
}

// Nodes list their data objects by shape; each shape is written once, numbered.
std::string modelText(IedModel* model, IedServer server)
{
    std::map<std::string, std::size_t> shapes;
    std::string tree = std::string("IED ") + model->name + "\n", shapeLines;
    for (ModelNode* ld = model->firstChild; ld; ld = ld->sibling)
        for (ModelNode* ln = ld->firstChild; ln; ln = ln->sibling) {
            tree += std::string(ld->name) + "/" + ln->name + ":";
            for (ModelNode* object = ln->firstChild; object; object = object->sibling) {
                std::string shape = object->modelType == DataObjectModelType ? "" : " not a data object";
                describe(server, object, "", shape);
                const auto [it, added] = shapes.emplace(shape, shapes.size() + 1);
                if (added)
                    shapeLines += "S" + std::to_string(it->second) + shape + "\n";
                tree += std::string(" ") + object->name + "=S" + std::to_string(it->second);
            }
            tree += "\n";
        }
    for (DataSet* set = model->dataSets; set; set = set->sibling) {
        tree += std::string("DataSet ") + set->logicalDeviceName + "/" + set->name + " " +
                std::to_string(set->elementCount) + ":";
        for (DataSetEntry* e = set->fcdas; e; e = e->sibling)
            tree += std::string(" ") + e->logicalDeviceName + "/" + e->variableName +
                    (e->index >= 0 ? "(" + std::to_string(e->index) + ")" : "") +
                    (e->componentName ? std::string(".") + e->componentName : "");
        tree += "\n";
    }
    for (ReportControlBlock* r = model->rcbs; r; r = r->sibling)
        tree += std::string("Report ") + r->parent->parent->name + "/" + r->parent->name + "." + r->name + " " +
                r->rptId + " " + r->dataSetName + " buffered " + std::to_string(r->buffered) + " confRef " +
                std::to_string(r->confRef) + " trgOps " + std::to_string(r->trgOps) + " options " +
                std::to_string(r->options) + " bufferTime " + std::to_string(r->bufferTime) + " intPeriod " +
                std::to_string(r->intPeriod) + "\n";
    for (LogControlBlock* l = model->lcbs; l; l = l->sibling)
        tree += std::string("LogControl ") + l->parent->parent->name + "/" + l->parent->name + "." + l->name + " " +
                l->dataSetName + " " + l->logRef + " trgOps " + std::to_string(l->trgOps) + " intPeriod " +
                std::to_string(l->intPeriod) + " logEna " + std::to_string(l->logEna) + " reasonCode " +
                std::to_string(l->reasonCode) + "\n";
    for (Log* l = model->logs; l; l = l->sibling)
        tree += std::string("Log ") + l->parent->parent->name + "/" + l->parent->name + "$" + l->name + "\n";
    tree += std::string("GSE ") + (model->gseCBs ? "yes" : "none") + ", SV " + (model->svCBs ? "yes" : "none") +
            ", SGCB " + (model->sgcbs ? "yes" : "none") + "\n";
    return tree + shapeLines;
}

TEST(ModelTree, TreeStartValuesDataSetsAndControlBlocksAreTheRecordedOnes)
{
    boxtest::ModelServer server;
    ASSERT_NE(server.get(), nullptr);
    const std::string expected = testsupport::readFile(BOX_TEST_DATA_DIR "/model_tree.txt");
    const std::string actual = modelText(box::staticModel(), server.get());
    if (actual != expected) {
        const std::string written = ::testing::TempDir() + "model_tree.txt";
        std::ofstream(written, std::ios::binary) << actual;
        std::size_t at = 0;
        while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
            ++at;
        const auto line = std::count(actual.begin(), actual.begin() + static_cast<std::ptrdiff_t>(at), '\n') + 1;
        ADD_FAILURE() << "the model differs from the recorded one at line " << line << "; this one is in " << written;
    }
}

}  // namespace
