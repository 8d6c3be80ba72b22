// The box's model in a server of the test's own, a private system bus, and
// schedule handling on both; helpers to read and set attributes by name.
#pragma once

#include "box_model.hpp"
#include "iec_schedule_handling.hpp"
#include "private_bus.hpp"
#include "records.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

class ScheduleModelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        bus = new testsupport::PrivateBus();
        server = IedServer_create(box::staticModel());
    }
    static void TearDownTestSuite()
    {
        IedServer_destroy(server);
        server = nullptr;
        delete bus;
        bus = nullptr;
    }

    void SetUp() override
    {
        ASSERT_NE(server, nullptr);
        testing::internal::CaptureStdout();
        handling = std::make_unique<IecScheduleHandling>(&server, &callbacks);
        testing::internal::GetCapturedStdout();
        RecordCapture::clear();
    }
    void TearDown() override { handling.reset(); }

    static DataAttribute* attribute(const std::string& ld, const std::string& ln, const std::string& dataObject,
                                    const std::string& name)
    {
        DataAttribute* a = box::findDataAttribute(ld, ln, dataObject, name);
        EXPECT_NE(a, nullptr) << ld << "/" << ln << "." << dataObject << "." << name;
        return a;
    }
    static DataAttribute* firstComponent(DataAttribute* a)
    {
        return a ? static_cast<DataAttribute*>(a->firstChild) : nullptr;
    }

    static float floatOf(const std::string& ld, const std::string& ln, const std::string& dataObject,
                         const std::string& name)
    {
        return IedServer_getFloatAttributeValue(server, firstComponent(attribute(ld, ln, dataObject, name)));
    }
    static void setFloat(const std::string& ld, const std::string& ln, const std::string& dataObject,
                         const std::string& name, float value)
    {
        IedServer_updateFloatAttributeValue(server, firstComponent(attribute(ld, ln, dataObject, name)), value);
    }
    static std::int32_t intOf(const std::string& ld, const std::string& ln, const std::string& dataObject,
                              const std::string& name = "stVal")
    {
        return IedServer_getInt32AttributeValue(server, attribute(ld, ln, dataObject, name));
    }
    static bool boolOf(const std::string& ld, const std::string& ln, const std::string& dataObject,
                       const std::string& name = "stVal")
    {
        return IedServer_getBooleanAttributeValue(server, attribute(ld, ln, dataObject, name));
    }
    static std::uint64_t timeOf(const std::string& ld, const std::string& ln, const std::string& dataObject,
                                const std::string& name)
    {
        return IedServer_getUTCTimeAttributeValue(server, attribute(ld, ln, dataObject, name));
    }
    static std::uint8_t timeQualityOf(const std::string& ld, const std::string& ln, const std::string& dataObject,
                                      const std::string& name)
    {
        const MmsValue* v = IedServer_getAttributeValue(server, attribute(ld, ln, dataObject, name));
        return v ? MmsValue_getUtcTimeQuality(v) : 0xff;
    }
    static std::string textOf(const std::string& ld, const std::string& ln, const std::string& dataObject,
                              const std::string& name = "stVal")
    {
        const MmsValue* v = IedServer_getAttributeValue(server, attribute(ld, ln, dataObject, name));
        const char* text = v ? MmsValue_toString(v) : nullptr;
        return text ? text : "";
    }

    // Standard output of one action.
    template <class Action>
    static std::string printed(Action&& action)
    {
        testing::internal::CaptureStdout();
        action();
        return testing::internal::GetCapturedStdout();
    }

    static inline testsupport::PrivateBus* bus = nullptr;
    static inline IedServer server = nullptr;
    RecordCapture capture;
    CallbackTable callbacks;
    std::unique_ptr<IecScheduleHandling> handling;
};
