// pages_bench: the data dictionary page of a control holding many field definitions.
//
//   show/N      the page reads the control (UpdatePropertyPage) and paints itself once
//   step/N      the selection moves down one row with the Down key and the page paints,
//               which runs the duplicate-name check of the row being left
//   add/N       Add: apply, append one definition, rebuild the rows, paint
//
// N is the number of field definitions: the --fields count (default 10,000) beside a
// dictionary of 100, in one run, so that the ratio shows how each case grows.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTest>
#include <cstring>
#include <memory>
#include <string>

#include "automation/vastrel_impl.h"
#include "bench/bench_options.h"
#include "pages/dict_page.h"
#include "pages/property_page.h"

namespace {

using namespace vastrel;
using namespace vastrel::automation;
using namespace vastrel::pages;

int g_fields = 10000;

struct Fixture {
  explicit Fixture(int fields) {
    IVastrel* raw = nullptr;
    CreateVastrel(IVastrel::kIID, reinterpret_cast<void**>(&raw));
    control = ComPtr<IVastrel>::Adopt(raw);
    table::TBtr& t = static_cast<TVastrel*>(raw)->Table();
    for (int i = 0; i < fields; ++i) t.DDFFields().Add();
    page = std::make_unique<TDataDictProp>();
    page->SetObject(raw);
    page->resize(640, 480);
    page->show();
    page->UpdatePropertyPage();
    QApplication::processEvents();
  }
  void Paint() { page->repaint(); }
  ComPtr<IVastrel> control;
  std::unique_ptr<TDataDictProp> page;
};

int Fields(const benchmark::State& state) { return state.range(0) == 0 ? g_fields : 100; }

void BM_Show(benchmark::State& state) {
  Fixture f(Fields(state));
  for (auto _ : state) {
    f.page->UpdatePropertyPage();
    f.Paint();
  }
  state.counters["fields"] = Fields(state);
}

void BM_Step(benchmark::State& state) {
  Fixture f(Fields(state));
  DDFGrid* grid = f.page->grDict;
  grid->setFocus();
  grid->SelectCell(1, 1);
  for (auto _ : state) {
    if (grid->Row() >= grid->RowCount() - 1) {
      state.PauseTiming();
      grid->SelectCell(1, 1);
      state.ResumeTiming();
    }
    QTest::keyClick(grid, Qt::Key_Down);
    f.Paint();
  }
  state.counters["fields"] = Fields(state);
}

void BM_Add(benchmark::State& state) {
  Fixture f(Fields(state));
  for (auto _ : state) {
    f.page->Button1->click();
    f.Paint();
  }
  state.counters["fields"] = Fields(state);
}

// Argument 0 is the --fields count, 1 the small dictionary beside it.
BENCHMARK(BM_Show)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Step)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Add)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  CLI::App options("The data dictionary page with many field definitions, shown and stepped",
                   "pages_bench");
  options.add_option("--fields", g_fields, "field definitions of the large dictionary")
      ->check(CLI::Range(1, 10'000'000));
  vastrel::bench::ParseOptions(options, &argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
