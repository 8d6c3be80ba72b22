// The box's model in a server of the test's own, a private system bus, and
// schedule handling on both; attributes read and set by path.
#pragma once

#include "../box_test_support.hpp"
#include "fake_schedule_manager.hpp"
#include "iec_schedule_handling.hpp"
#include "private_bus.hpp"

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
        printed([&] { handling = std::make_unique<IecScheduleHandling>(server, &callbacks); });
        RecordCapture::clear();
    }
    void TearDown() override { handling.reset(); }

    static DataAttribute* at(const std::string& path) { return boxtest::attributeAt(path); }
    static float floatAt(const std::string& path) { return IedServer_getFloatAttributeValue(server, at(path)); }
    static void setFloat(const std::string& path, float v) { IedServer_updateFloatAttributeValue(server, at(path), v); }
    static std::int32_t intAt(const std::string& path) { return IedServer_getInt32AttributeValue(server, at(path)); }
    static void setInt(const std::string& path, std::int32_t v) { IedServer_updateInt32AttributeValue(server, at(path), v); }
    static bool boolAt(const std::string& path) { return IedServer_getBooleanAttributeValue(server, at(path)); }
    static std::uint64_t timeAt(const std::string& path) { return IedServer_getUTCTimeAttributeValue(server, at(path)); }
    static std::uint8_t timeQualityAt(const std::string& path)
    {
        return MmsValue_getUtcTimeQuality(IedServer_getAttributeValue(server, at(path)));
    }
    static std::string textAt(const std::string& path)
    {
        const char* text = MmsValue_toString(IedServer_getAttributeValue(server, at(path)));
        return text ? text : "";
    }
    static void setText(const std::string& path, const char* text)
    {
        IedServer_updateVisibleStringAttributeValue(server, at(path), text);
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
