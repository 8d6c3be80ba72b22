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
    EXPECT_STREQ(m.model()->name, "TESTIED");
    EXPECT_EQ(childNames(m.ld0), "LLN0,GGIO1");
    EXPECT_EQ(childNames(m.enaReq), "Oper,origin,ctlNum,stVal,q,t,ctlModel");
    EXPECT_EQ(childNames(ModelNode_getChild(m.enaReq, "Oper")), "ctlVal,origin,ctlNum,T,Test,Check");

    DataAttribute* orCat = m.attribute(m.enaReq, "Oper$origin$orCat");
    ASSERT_NE(orCat, nullptr);
    EXPECT_EQ(orCat->fc, IEC61850_FC_CO);
    EXPECT_EQ(orCat->type, IEC61850_ENUMERATED);
    auto* origin = static_cast<DataAttribute*>(orCat->parent);
    EXPECT_EQ(origin->type, IEC61850_CONSTRUCTED);
    EXPECT_EQ(origin->fc, IEC61850_FC_CO);
    EXPECT_EQ(origin->parent->parent, m.enaReq);
    EXPECT_EQ(m.enaReq->parent, m.fsch);
    EXPECT_EQ(m.fsch->parent, m.cls1);

    // The ST origin is a different attribute from the CO one of the same name.
    ModelNode* stOrigin = ModelNode_getChildWithFc(m.enaReq, "origin", IEC61850_FC_ST);
    ASSERT_NE(stOrigin, nullptr);
    EXPECT_NE(stOrigin, origin);
    EXPECT_EQ(ModelNode_getChildWithFc(m.enaReq, "Oper.origin", IEC61850_FC_CO), origin);
    EXPECT_EQ(ModelNode_getChildWithFc(m.enaReq, "origin", IEC61850_FC_CO), nullptr);
    EXPECT_EQ(ModelNode_getChildWithFc(m.enaReq, "origin", IEC61850_FC_MX), nullptr);

    EXPECT_EQ(m.attribute(m.everyFc, "sp")->triggerOptions, 0);
    EXPECT_EQ(m.attribute(m.valMv, "mag.f")->triggerOptions, TRG_OPT_DATA_CHANGED);
    EXPECT_EQ(m.attribute(m.allTypes, "arr")->elementCount, 3);
    EXPECT_EQ(m.attribute(m.phsA, "mag$f")->parent->parent, m.phsA);
    EXPECT_EQ(m.phsA->parent, m.wye);
}

TEST(Model, FindsDevicesNodesAndReferences)
{
    TestModel m;
    IedModel* model = m.model();
    EXPECT_EQ(IedModel_getDeviceByInst(model, "LD0"), m.ld0);
    EXPECT_EQ(IedModel_getDeviceByInst(model, "CLS1"), m.cls1);
    EXPECT_EQ(IedModel_getDeviceByInst(model, "CLS"), nullptr);
    EXPECT_EQ(IedModel_getDeviceByInst(model, "TESTIEDLD0"), nullptr);
    EXPECT_EQ(IedModel_getDeviceByInst(model, nullptr), nullptr);
    EXPECT_EQ(IedModel_getDeviceByInst(nullptr, "LD0"), nullptr);
    EXPECT_EQ(IedModel_getDeviceByIndex(model, 0), m.ld0);
    EXPECT_EQ(IedModel_getDeviceByIndex(model, 1), m.cls1);
    EXPECT_EQ(IedModel_getDeviceByIndex(model, 2), nullptr);
    EXPECT_EQ(IedModel_getDeviceByIndex(model, -1), nullptr);
    EXPECT_EQ(IedModel_getLogicalDeviceCount(model), 2);

    EXPECT_EQ(LogicalDevice_getLogicalNode(m.cls1, "EmpSPrg_FSCH020001"), m.fsch);
    EXPECT_EQ(LogicalDevice_getLogicalNode(m.cls1, "LLN0"), nullptr);
    EXPECT_EQ(ModelNode_getChildCount(m.ggio), 3);
    EXPECT_EQ(IedModel_getModelNodeByObjectReference(model, "CLS1/EmpSPrg_FSCH020001.EnaReq.Oper.ctlVal"),
              ModelNode_getByPath(m.enaReq, "Oper$ctlVal"));
    EXPECT_EQ(IedModel_getModelNodeByObjectReference(model, "CLS1/EmpSPrg_FSCH020001"), m.fsch);
    EXPECT_EQ(IedModel_getModelNodeByObjectReference(model, "CLS1/EmpSPrg_FSCH020001.Nope"), nullptr);
    EXPECT_EQ(IedModel_getModelNodeByObjectReference(model, "EmpSPrg_FSCH020001"), nullptr);
}

TEST(Model, DataSetsControlBlocksAndLogs)
{
    TestModel m;
    IedModel* model = m.model();
    DataSet* events = IedModel_lookupDataSet(model, "LD0", "LLN0$Events");
    ASSERT_NE(events, nullptr);
    EXPECT_EQ(events->elementCount, 2);
    EXPECT_STREQ(events->fcdas->logicalDeviceName, "CLS1");
    EXPECT_STREQ(events->fcdas->variableName, "EmpSPrg_FSCH020001$ST$EnaReq$stVal");
    EXPECT_EQ(events->fcdas->index, -1);
    EXPECT_EQ(events->fcdas->componentName, nullptr);
    EXPECT_STREQ(events->fcdas->sibling->variableName, "LLN0$ST$Mod$stVal");
    EXPECT_EQ(IedModel_lookupDataSet(model, "CLS1", "LLN0$Events"), nullptr);

    ASSERT_NE(model->rcbs, nullptr);
    EXPECT_EQ(model->rcbs->parent, m.lln0);
    EXPECT_STREQ(model->rcbs->dataSetName, "Events");
    EXPECT_EQ(model->rcbs->trgOps, TRG_OPT_DATA_CHANGED | TRG_OPT_GI);
    ASSERT_NE(model->logs, nullptr);
    EXPECT_STREQ(model->logs->name, "logLD0");
    EXPECT_EQ(model->gseCBs, nullptr);
}

TEST(Model, FunctionalConstraintNames)
{
    for (int i = 0; i <= IEC61850_FC_CO; ++i) {
        auto fc = static_cast<FunctionalConstraint>(i);
        EXPECT_EQ(FunctionalConstraint_fromString(FunctionalConstraint_toString(fc)), fc);
    }
    EXPECT_STREQ(FunctionalConstraint_toString(IEC61850_FC_CO), "CO");
    EXPECT_EQ(FunctionalConstraint_toString(IEC61850_FC_ALL), nullptr);
    EXPECT_EQ(FunctionalConstraint_fromString("XX"), IEC61850_FC_NONE);
    EXPECT_EQ(FunctionalConstraint_fromString("st"), IEC61850_FC_NONE);
    EXPECT_EQ(FunctionalConstraint_fromString(nullptr), IEC61850_FC_NONE);
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
