#include "output_checks.h"

#include <sstream>

#include "component_rig.h"

namespace component_test {

std::uint32_t tickOf(const json& sample) {
  const std::uint64_t sec = sample.at("tm").at("sec").get<std::uint64_t>();
  const std::uint64_t nsec = sample.at("tm").at("nsec").get<std::uint64_t>();
  return static_cast<std::uint32_t>(sec * 1000u + nsec / 1000000u);
}

std::size_t expectWellFormedCycles(const std::vector<ControlClient::Event>& events) {
  std::vector<const ControlClient::Event*> samples;
  for (const ControlClient::Event& e : events) {
    if (e.body.value("event", "") == "sample") {
      samples.push_back(&e);
    }
  }
  // A subscription may begin between the two writes of a cycle.
  std::size_t i = 0;
  while (i < samples.size() && samples[i]->body.value("port", "") != "OdmetoryOut") {
    ++i;
  }
  std::size_t cycles = 0;
  for (; i + 1 < samples.size(); i += 2) {
    const json& pose = samples[i]->body;
    const json& velocity = samples[i + 1]->body;
    if (pose.value("port", "") != "OdmetoryOut" || velocity.value("port", "") != "VelocityOut") {
      ADD_FAILURE() << "cycle " << cycles << " is not the pose, then the velocity:\n"
                    << pose.dump() << "\n"
                    << velocity.dump();
      break;
    }
    const json& p = pose.at("sample");
    const json& v = velocity.at("sample");
    EXPECT_EQ(p.at("tm"), v.at("tm")) << "cycle " << cycles;
    const std::uint64_t nsec = v.at("tm").at("nsec").get<std::uint64_t>();
    EXPECT_LT(nsec, 1000000000u);
    EXPECT_EQ(nsec % 1000000u, 0u) << "not a whole millisecond";
    const auto arrivalTick = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(samples[i + 1]->at.time_since_epoch())
            .count());
    EXPECT_LE(static_cast<std::uint32_t>(arrivalTick - tickOf(v)), 5000u)
        << "stamp " << tickOf(v) << " arrived at tick " << arrivalTick;

    const json& data = v.at("data");
    EXPECT_TRUE(data.at("vx").is_number()) << v.dump();
    EXPECT_TRUE(data.at("va").is_number()) << v.dump();
    EXPECT_EQ(data.at("vy"), 0.0) << v.dump();
    if (data.at("vx").is_number()) {
      EXPECT_GE(data.at("vx").get<double>(), 0.0) << v.dump();
    }
    EXPECT_TRUE(p.at("data").at("position").at("x").is_number()) << p.dump();
    EXPECT_TRUE(p.at("data").at("position").at("y").is_number()) << p.dump();
    EXPECT_TRUE(p.at("data").at("heading").is_number()) << p.dump();
    for (const json* s : {&p, &v}) {
      EXPECT_EQ(s->at("id"), json::array());
      EXPECT_EQ(s->at("error"), json::array());
    }
    ++cycles;
    if (::testing::Test::HasFailure()) {
      break;  // one broken cycle says enough
    }
  }
  return cycles;
}

std::size_t expectCycleTrace(const std::string& console) {
  std::vector<std::string> lines;
  std::istringstream in(withoutHostLines(console));
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  std::size_t cycles = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind("w_in:", 0) != 0) {
      continue;
    }
    EXPECT_NE(lines[i].find("\tv_in"), std::string::npos) << lines[i];
    if (i + 3 >= lines.size()) {
      break;  // the cycle under way
    }
    EXPECT_EQ(lines[i + 1].rfind("X:", 0), 0u) << "after " << lines[i] << ": " << lines[i + 1];
    EXPECT_EQ(lines[i + 2].rfind("Y:", 0), 0u) << "after " << lines[i] << ": " << lines[i + 2];
    EXPECT_EQ(lines[i + 3].rfind(kThetaLabel, 0), 0u)
        << "after " << lines[i] << ": " << lines[i + 3];
    ++cycles;
    if (::testing::Test::HasFailure()) {
      break;
    }
  }
  return cycles;
}

}  // namespace component_test
