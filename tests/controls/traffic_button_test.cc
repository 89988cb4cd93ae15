// The traffic graph with a scripted sampler: priming, rate texts, the maximum, bars, and a
// counter that goes backwards.
#include <QTest>
#include <deque>

#include "controls/mf_traffic_button.h"

using namespace qxfw::controls;

namespace {

struct ScriptedSampler {
  std::deque<double> values;
  std::vector<int> interfaces;  // interface asked for on every call
  double operator()(int index) {
    interfaces.push_back(index);
    if (values.empty()) return 0;
    double value = values.front();
    values.pop_front();
    return value;
  }
};

bool HasBarPixels(MFTrafficButton& graph) {
  QImage image = graph.grab().toImage();
  for (int y = 20; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      QColor pixel = image.pixelColor(x, y);
      if (pixel.green() > 0x70 && pixel.red() > 0x70) return true;  // the gradient bars
    }
  }
  return false;
}

}  // namespace

class TrafficButtonTest : public QObject {
  Q_OBJECT

 private slots:
  void SelectInterfacePrimesTwiceAndClearsTheHistory() {
    auto script = std::make_shared<ScriptedSampler>();
    script->values = {900000, 1000000};  // absolute counters: must never be shown
    MFTrafficButton graph([script](int i) { return (*script)(i); });
    graph.resize(268, 100);
    graph.SetIntervals(100000, 100000);  // samples only when the test asks

    graph.SelectInterface(0);
    QCOMPARE(script->interfaces, (std::vector<int>{0, 0}));
    QCOMPARE(graph.Maximum(), 0.0);
    QCOMPARE(graph.CombinedText(), QString("0.0 / 0.0 KB/sec"));
    QCOMPARE(graph.HistoryColumns(), 134);

    script->values = {1536};
    graph.Sample();
    QCOMPARE(graph.CurrentText(), QString("1.5 KB/sec"));
    QCOMPARE(graph.MaximumText(), QString("1.5 KB/sec"));
    QCOMPARE(graph.CombinedText(), QString("1.5 / 1.5 KB/sec"));

    script->values = {512};
    graph.Sample();
    QCOMPARE(graph.CombinedText(), QString("0.5 / 1.5 KB/sec"));  // the maximum stays

    graph.SelectInterface(2);
    QCOMPARE(script->interfaces.back(), 2);
    QCOMPARE(graph.Maximum(), 0.0);
  }

  void BarsOnlyWithTrafficAndNoNegativeRates() {
    auto script = std::make_shared<ScriptedSampler>();
    MFTrafficButton graph([script](int i) { return (*script)(i); });
    graph.resize(268, 100);
    graph.SetIntervals(100000, 100000);
    graph.SelectInterface(0);
    graph.show();
    QVERIFY(QTest::qWaitForWindowExposed(&graph));

    script->values = {0, 0, 0};
    for (int i = 0; i < 3; ++i) graph.Sample();
    QCOMPARE(graph.Maximum(), 0.0);
    QVERIFY(!HasBarPixels(graph));  // a zero maximum draws nothing

    script->values = {-4294967296.0};  // a counter that went backwards
    graph.Sample();
    QCOMPARE(graph.CurrentText(), QString("0.0 KB/sec"));
    QVERIFY(!HasBarPixels(graph));

    script->values = {20480};
    graph.Sample();
    QVERIFY(HasBarPixels(graph));
    QCOMPARE(graph.CurrentText(), QString("20.0 KB/sec"));
  }

  void TheOldestColumnScrollsOutOfTheMaximum() {
    auto script = std::make_shared<ScriptedSampler>();
    MFTrafficButton graph([script](int i) { return (*script)(i); });
    graph.resize(8, 40);  // four columns of history
    graph.SetIntervals(100000, 100000);
    graph.SelectInterface(0);
    QCOMPARE(graph.HistoryColumns(), 4);
    script->values = {4096, 1024, 1024, 1024, 1024};
    for (int i = 0; i < 4; ++i) graph.Sample();
    QCOMPARE(graph.Maximum(), 4096.0);
    graph.SetResetMaximumEachSample(true);
    graph.Sample();  // 4096 has left the history
    QCOMPARE(graph.Maximum(), 1024.0);
  }

  void TimersSampleAndRepaintAtTheirIntervals() {
    auto script = std::make_shared<ScriptedSampler>();
    MFTrafficButton graph([script](int i) { return (*script)(i); });
    QCOMPARE(graph.SampleInterval(), 1000);
    QCOMPARE(graph.RepaintInterval(), 50);
    graph.SetIntervals(20, 100);
    QCOMPARE(graph.RepaintInterval(), 100);
    size_t before = script->interfaces.size();
    QTRY_VERIFY(script->interfaces.size() >= before + 2);
  }
};

QTEST_MAIN(TrafficButtonTest)
#include "traffic_button_test.moc"
