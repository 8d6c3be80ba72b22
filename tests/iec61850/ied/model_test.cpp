// The model tree as the builder links it, and the lookups over it.
#include "test_model.hpp"

#include <gtest/gtest.h>

#include <string>

namespace ied_test {
namespace {

std::string childNames(ModelNode* node)
{
    std::string names;
    for (ModelNode* c = node->firstChild; c; c = c->sibling)
        names += std::string(names.empty() ? "" : ",") + c->name;
    return names;
}

TEST(Model, BuilderLinksNodesInDeclarationOrder)
{
    TestModel m;
    EXPECT_EQ(childNames(m.ld0), "LLN0,GGIO1,CSWI1");
    EXPECT_EQ(childNames(m.enaReq), "Oper,origin,ctlNum,stVal,q,t,ctlModel");
    EXPECT_EQ(childNames(ModelNode_getChild(m.enaReq, "Oper")), "ctlVal,origin,ctlNum,T,Test,Check");

    DataAttribute* orCat = m.attribute(m.enaReq, "Oper$origin$orCat");
    ASSERT_NE(orCat, nullptr);
    EXPECT_EQ(std::make_pair(orCat->fc, orCat->type), std::make_pair(IEC61850_FC_CO, IEC61850_ENUMERATED));
    auto* origin = static_cast<DataAttribute*>(orCat->parent);
    EXPECT_EQ(std::make_pair(origin->fc, origin->type), std::make_pair(IEC61850_FC_CO, IEC61850_CONSTRUCTED));
    EXPECT_EQ(origin->parent->parent, m.enaReq);
    EXPECT_EQ(m.enaReq->parent->parent, m.cls1);
    EXPECT_EQ(m.attribute(m.phsA, "mag$f")->parent->parent->parent, m.wye);

    // The ST origin is a different attribute from the CO one of the same name.
    ModelNode* stOrigin = ModelNode_getChildWithFc(m.enaReq, "origin", IEC61850_FC_ST);
    ASSERT_NE(stOrigin, nullptr);
    EXPECT_NE(stOrigin, origin);
    EXPECT_EQ(ModelNode_getChildWithFc(m.enaReq, "Oper.origin", IEC61850_FC_CO), origin);
    EXPECT_EQ(ModelNode_getChildWithFc(m.enaReq, "origin", IEC61850_FC_CO), nullptr);
}

TEST(Model, FindsDevicesNodesReferencesAndDataSets)
{
    TestModel m;
    IedModel* model = m.model();
    EXPECT_EQ(IedModel_getDeviceByInst(model, "CLS1"), m.cls1);
    for (const char* inst : {"CLS", "TESTIEDLD0", static_cast<const char*>(nullptr)})
        EXPECT_EQ(IedModel_getDeviceByInst(model, inst), nullptr);
    EXPECT_EQ(IedModel_getDeviceByInst(nullptr, "LD0"), nullptr);
    EXPECT_EQ(IedModel_getDeviceByIndex(model, 1), m.cls1);
    EXPECT_EQ(IedModel_getDeviceByIndex(model, 2), nullptr);
    EXPECT_EQ(IedModel_getDeviceByIndex(model, -1), nullptr);
    EXPECT_EQ(LogicalDevice_getLogicalNode(m.cls1, "EmpSPrg_FSCH020001"), m.fsch);
    EXPECT_EQ(LogicalDevice_getLogicalNode(m.cls1, "LLN0"), nullptr);

    const std::pair<const char*, ModelNode*> references[] = {
        {"CLS1/EmpSPrg_FSCH020001.EnaReq.Oper.ctlVal", ModelNode_getByPath(m.enaReq, "Oper$ctlVal")},
        {"CLS1/EmpSPrg_FSCH020001", m.fsch},
        {"CLS1/EmpSPrg_FSCH020001.Nope", nullptr},
        {"EmpSPrg_FSCH020001", nullptr},
    };
    for (const auto& [reference, node] : references)
        EXPECT_EQ(IedModel_getModelNodeByObjectReference(model, reference), node) << reference;

    EXPECT_EQ(IedModel_lookupDataSet(model, "LD0", "LLN0$Events")->elementCount, 2);
    EXPECT_EQ(IedModel_lookupDataSet(model, "CLS1", "LLN0$Events"), nullptr);
}

TEST(Model, FunctionalConstraintNames)
{
    for (int i = 0; i <= IEC61850_FC_CO; ++i) {
        auto fc = static_cast<FunctionalConstraint>(i);
        EXPECT_EQ(FunctionalConstraint_fromString(FunctionalConstraint_toString(fc)), fc);
    }
    EXPECT_EQ(FunctionalConstraint_toString(IEC61850_FC_ALL), nullptr);
    for (const char* name : {"XX", "st", static_cast<const char*>(nullptr)})
        EXPECT_EQ(FunctionalConstraint_fromString(name), IEC61850_FC_NONE);
}

TEST(Model, BigModelsStayCompact)
{
    ModelBuilder b("BIG");
    LogicalDevice* ld = b.device("LD");
    for (int n = 0; n < 10; ++n) {
        LogicalNode* ln = b.node(ld, "FSCH" + std::to_string(n));
        for (int i = 0; i < 300; ++i)
            b.object(ln, "ValASG" + std::to_string(i), kAsg);
    }
    // 3000 data objects with 6000 attributes: about 100 bytes a node with its name.
    EXPECT_LT(b.arenaBytes(), 9000u * 100u);
    EXPECT_EQ(ModelNode_getChildCount(LogicalDevice_getLogicalNode(ld, "FSCH9")), 300);
}

}  // namespace
}  // namespace ied_test
