// The program's shell driven through the headless user interface: start-up, run control, the
// status display, the dialogs and the window procedure, inside the program's own message loop.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "loop.h"
#include "model/chnl.h"
#include "platform/serial/backend.h"
#include "platform/serial/serial.h"
#include "platform/serial/virtual/vboard.h"
#include "platform/ui/headless/headless.h"
#include "res/resources.h"
#include "wait_until.h"
#include "write.h"
#include "zentrel.h"

namespace {

using namespace zentrel;
namespace hl = ui::headless;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double scale = 4.0;
#else
constexpr double scale = 20.0;
#endif

const char idle_title[] = "Zentrel - Serial I/O Performance Analyzer";
const char running_title[] = "Zentrel - Serial I/O Performance Analyzer - Running";
constexpr ui::colorref blue = 0x00FF0000;

std::function<void()> body;

void run_body(void*) {
    body();
    // Whatever the steps did, the program ends as closing its window ends it.
    if (hl::alive(hwnd)) ui::post_message(hwnd, ui::wm_close, 0, 0);
}

void on_created(ui::window_handle) {
    hl::post_task(run_body, nullptr);
}

void command(uint32_t id) {
    ui::send_message(hwnd, ui::wm_command, id, 0);
}

// Repaints now, as the once-a-second timer would.
void repaint() {
    ui::invalidate_rect(hwnd, false);
    ui::update_window(hwnd);
}

int state(uint32_t id) {
    return ui::get_menu_state(ui::get_menu(hwnd), id, 0);
}

std::string trim(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

// Row r of the window from column 2 (x = 20) on, trailing blanks cut.
std::string shown(int r) {
    return trim(hl::row(r).substr(2));
}

std::vector<std::string> box_texts() {
    std::vector<std::string> v;
    for (auto& b : hl::boxes()) v.push_back(b.text);
    return v;
}

// Summary boxes shown so far (a slow sanitized run may add overrun boxes of its own).
size_t summaries() {
    size_t n = 0;
    for (auto& t : box_texts()) n += t.rfind("Average cps: ", 0) == 0;
    return n;
}

class ShellTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kern::clock_config(scale, 0);
        threads0_ = kern::live_threads();
        hl::reset();
        hl::set_box_echo(false);
        hl::backend b;
        b.created = on_created;
        hl::set_backend(b);
        settings_reset();
        shell_reset();
    }

    void TearDown() override {
        EXPECT_EQ(loop_running.get(), 0);
        EXPECT_EQ(ser::open_handles(), 0);
        board_.reset();
        EXPECT_EQ(hl::live_fonts(), 0) << "every display font is freed after its paint";
        EXPECT_EQ(hl::refused_font_deletes(), 0) << "no font is freed while still selected";
        EXPECT_TRUE(wait_until([&] { return kern::live_threads() == threads0_; }));
        hl::set_backend({});
        hl::set_box_echo(true);
        kern::clock_config(1.0, 0);
    }

    void make_board(const std::string& config) { board_ = std::make_unique<vboard::board>(config); }

    // Runs the program with `steps` executed inside its message loop; returns its exit code.
    int run(const char* cmdline, std::function<void()> steps) {
        body = std::move(steps);
        return WinMain(reinterpret_cast<ui::instance_handle>(this), nullptr, cmdline, ui::sw_shownormal);
    }

    std::unique_ptr<vboard::board> board_;
    int threads0_ = 0;
};

// ---- Resources -----------------------------------------------------------------------------------

TEST(Resources, NamesAreFoundWithoutRegardToCaseAndTheMenuHasItsCommandsInOrder) {
    EXPECT_EQ(res::find_icon("loopicon"), res::find_icon("LOOPICON"));
    EXPECT_EQ(res::find_icon("loopIcon"), res::find_icon("loopICON"));
    ASSERT_NE(res::find_icon("loopIcon"), nullptr);
    EXPECT_EQ(res::find_menu("loopMenu"), res::find_menu("LOOPMENU"));
    for (const char* d : {"AboutDlg", "FirstDlg", "CountDlg", "TimeDlg", "FormatDlg"})
        EXPECT_NE(res::find_dialog(d), nullptr) << d;
    EXPECT_EQ(res::find_dialog("timedlg"), res::find_dialog("TIMEDLG"));
    EXPECT_EQ(res::find_dialog("NoSuchDlg"), nullptr);

    const res::menu_template* m = res::find_menu("loopmenu");
    ASSERT_NE(m, nullptr);
    std::vector<int> ids;
    std::vector<std::string> popups;
    int separators = 0, depth = 0;
    for (int i = 0; i < m->count; i++) {
        const auto& it = m->items[i];
        if (it.kind == res::item_kind::command) ids.push_back(it.id);
        if (it.kind == res::item_kind::separator) separators++;
        if (it.kind == res::item_kind::popup) {
            if (depth == 0) popups.push_back(it.caption);
            depth++;
        }
        if (it.kind == res::item_kind::end) depth--;
    }
    EXPECT_EQ(depth, 0);
    EXPECT_EQ(separators, 1);
    EXPECT_EQ(ids, (std::vector<int>{201, 202, 301, 302, 801, 802, 902, 901, 401, 402, 501, 502, 503,
                                     504, 505, 506, 507, 508, 509, 601, 602, 603, 604, 701, 702}));
    EXPECT_EQ(popups, (std::vector<std::string>{"&File", "&Options", "&Ports", "&Speed", "&Flow", "&Run"}));

    EXPECT_STREQ(res::find_dialog("CountDlg")->caption, "Count of ComPorts");
    EXPECT_EQ(res::find_dialog("CountDlg")->controls[0].id, 102);
    EXPECT_EQ(res::find_dialog("TimeDlg")->controls[0].id, 102);
    EXPECT_EQ(res::find_dialog("FirstDlg")->controls[0].id, 101);
    EXPECT_STREQ(res::find_dialog("AboutDlg")->caption, "About Zentrel Labs Zentrel");
    EXPECT_STREQ(res::version_value("companyname"), "Zentrel Labs");
    EXPECT_STREQ(res::version_value("OriginalFilename"), "zentrel");
}

// ---- Start-up, idle and running state -------------------------------------------------------------

TEST_F(ShellTest, StartUpShowsTheIdleWindowAndExitEndsWithCodeZero) {
    make_board("");
    int code = run("", [] {
        EXPECT_EQ(hl::title(hwnd), idle_title);
        EXPECT_TRUE(hl::visible(hwnd));
        EXPECT_TRUE(hl::timer_active(hwnd, 1));
        EXPECT_EQ(hl::timer_period(hwnd, 1), 1000u);
        EXPECT_EQ(hl::menu_calls(), (std::vector<std::pair<uint32_t, uint32_t>>{{702, 3}, {701, 0}}));
        const res::menu_template* m = hl::menu_of(hwnd);
        for (int i = 0; i < m->count; i++)
            if (m->items[i].kind == res::item_kind::command) {
                EXPECT_EQ(state(m->items[i].id), m->items[i].id == 702 ? 3 : 0) << m->items[i].id;
            }
        // The first paint came before the loop: the blue settings line only.
        EXPECT_GE(hl::paints(), 1);
        auto draws = hl::last_paint();
        ASSERT_EQ(draws.size(), 1u);
        EXPECT_EQ(draws[0].y, 5);
        EXPECT_EQ(draws[0].text, "COM3...COM18   115200   Xon/Xoff" + std::string(37, ' '));
        EXPECT_EQ(draws[0].color, blue);
        EXPECT_EQ(hl::cell_color(0, 2), blue);
        command(cmd_exit);
        EXPECT_FALSE(hl::alive(hwnd));
    });
    EXPECT_EQ(code, 0);
}

TEST_F(ShellTest, RunningStateGraysSettingsIgnoresThemAndStopRestoresInOrder) {
    make_board("");
    int code = run("5", [] {
        chnl_count = 2;
        hl::clear_menu_calls();
        command(cmd_start);
        ASSERT_EQ(loop_running.get(), 1);
        EXPECT_EQ(hl::title(hwnd), running_title);
        std::vector<std::pair<uint32_t, uint32_t>> on{{701, 3}, {702, 0}};
        for (uint32_t id :
             {301, 302, 801, 802, 401, 402, 501, 502, 503, 504, 505, 506, 507, 508, 509, 601, 602, 603, 604})
            on.push_back({id, 3});
        EXPECT_EQ(hl::menu_calls(), on);
        for (uint32_t id : {201, 202, 901, 902}) EXPECT_EQ(state(id), 0) << id;

        // Settings commands delivered directly are ignored while running.
        for (uint32_t id : {301, 302, 401, 402, 501, 509, 601, 604, 701}) command(id);
        EXPECT_TRUE(hl::dialogs().empty());
        EXPECT_EQ(chnls[0].com_baud.get(), 115200);
        EXPECT_EQ(chnls[1].com_flow.get(), flow_xonxoff);
        EXPECT_EQ(chnl_count.get(), 2);
        EXPECT_EQ(loop_running.get(), 1);
        // Data checking switches during the run; loopback commands act whenever they arrive.
        command(cmd_no_verify);
        EXPECT_EQ(data_check.get(), 0);
        command(cmd_verify);
        EXPECT_EQ(data_check.get(), 1);
        command(cmd_loopback_set);
        EXPECT_EQ(internal_loopback.get(), 1);
        command(cmd_loopback_clear);
        EXPECT_EQ(internal_loopback.get(), 0);
        // Unknown ids and the About box leave the run alone.
        command(703);
        command(900);
        command(cmd_about);
        EXPECT_EQ(loop_running.get(), 1);

        hl::pump_for(2500);
        EXPECT_EQ(shown(1), "Port        Xmit        Rcv         Errs        Rate        TxQueue");
        EXPECT_EQ(shown(2).substr(0, 4), "COM5");
        EXPECT_EQ(shown(3).substr(0, 4), "COM6");

        hl::clear_menu_calls();
        hl::script_box_hold(2500);
        command(cmd_stop);
        std::vector<std::pair<uint32_t, uint32_t>> off{{702, 3}};
        for (uint32_t id : {701, 401, 402, 301, 302, 801, 802, 501, 502, 503,
                            504, 505, 506, 507, 508, 509, 601, 602, 603, 604})
            off.push_back({id, 0});
        EXPECT_EQ(hl::menu_calls(), off);
        EXPECT_EQ(hl::title(hwnd), idle_title);
        EXPECT_FALSE(hl::timer_active(hwnd, 2));
        EXPECT_EQ(summaries(), 1u);
        // The paint right after the summary blanks the 17 rows with 80 blanks each.
        auto draws = hl::last_paint();
        ASSERT_EQ(draws.size(), 18u);
        for (int k = 0; k < 17; k++) {
            EXPECT_EQ(draws[k + 1].y, 20 + 20 * k);
            EXPECT_EQ(draws[k + 1].text, std::string(80, ' '));
        }
        for (int r = 1; r <= 17; r++) EXPECT_EQ(shown(r), "") << r;
        repaint();
        EXPECT_EQ(hl::last_paint().size(), 1u) << "later idle paints draw the settings line only";
        command(cmd_stop);
        EXPECT_EQ(summaries(), 1u) << "Stop while idle does nothing";
    });
    EXPECT_EQ(code, 0);
}

TEST_F(ShellTest, TheTableStaysWhileTheSummaryIsOpen) {
    make_board("");
    run("", [] {
        chnl_count = 1;
        command(cmd_start);
        hl::pump_for(2200);
        // While the box is open, timer ticks keep painting: the last table stays on screen.
        struct hold {
            static int box(ui::window_handle, const char*, const char*) {
                int before = hl::paints();
                hl::pump_for(2500);
                EXPECT_GE(hl::paints(), before + 2);
                EXPECT_EQ(shown(1).substr(0, 4), "Port");
                EXPECT_EQ(hl::last_paint().size(), 1u);
                return ui::id_ok;
            }
        };
        hl::backend b = hl::current_backend();
        b.box = hold::box;
        hl::set_backend(b);
        command(cmd_stop);
        EXPECT_EQ(shown(1), "");
    });
}

TEST_F(ShellTest, ClosingDuringARunStopsWithoutSummaryAndExitsWithZero) {
    make_board("");
    int code = run("", [this] {
        chnl_count = 3;
        command(cmd_start);
        ASSERT_EQ(loop_running.get(), 1);
        hl::pump_for(1500);
        ui::post_message(hwnd, ui::wm_close, 0, 0);
        hl::pump_for(100);
        EXPECT_FALSE(hl::alive(hwnd));
        EXPECT_EQ(loop_running.get(), 0);
        for (int p = 3; p <= 5; p++) {
            auto s = board_->snapshot(p);
            EXPECT_FALSE(s.open);
            EXPECT_EQ(s.handflow.ControlHandShake & 0x3Bu, ser::SERIAL_DTR_CONTROL);
        }
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(summaries(), 0u) << "closing shows no summary";

    hl::reset();
    hl::backend b;
    b.created = on_created;
    hl::set_backend(b);
    code = run("", [] {
        command(cmd_start);
        command(cmd_exit);
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(summaries(), 0u);
    EXPECT_EQ(loop_running.get(), 0);
}

TEST_F(ShellTest, TimeLimitStopsTheRunOnceAndLongLimitsAreHeldToTheTimersRange) {
    make_board("");
    run("", [] {
        chnl_count = 1;
        command(cmd_start);
        EXPECT_FALSE(hl::timer_active(hwnd, 2)) << "no limit, no timer";
        command(cmd_stop);

        time_limit_secs = 3;
        command(cmd_start);
        EXPECT_EQ(hl::timer_period(hwnd, 2), 3000u);
        hl::pump_for(2000);
        EXPECT_EQ(loop_running.get(), 1);
        hl::pump_for(2000);
        EXPECT_EQ(loop_running.get(), 0) << "the limit stopped the run";
        EXPECT_FALSE(hl::timer_active(hwnd, 2));
        EXPECT_EQ(summaries(), 2u);
        ui::send_message(hwnd, ui::wm_timer, 2, 0);
        EXPECT_EQ(summaries(), 2u) << "a time-limit tick while idle does nothing";
        time_limit_secs = 0;

        hl::script_dialog({{"2", ui::id_ok}});
        command(cmd_time);
        EXPECT_EQ(time_limit.get(), 2);
        command(cmd_start);
        EXPECT_EQ(hl::timer_period(hwnd, 2), 120000u);
        command(cmd_stop);

        // A limit whose milliseconds do not fit the timer is held to the longest one, with a word.
        hl::script_dialog({{"100000", ui::id_ok}});
        command(cmd_time);
        EXPECT_EQ(time_limit.get(), max_time_limit);
        ASSERT_FALSE(box_texts().empty());
        EXPECT_NE(box_texts().back().find("Time limit too long"), std::string::npos);
        time_limit = 100000;  // as if set by other means
        command(cmd_start);
        EXPECT_EQ(hl::timer_period(hwnd, 2), static_cast<uint32_t>(max_time_limit) * 60000u);
        EXPECT_LE(hl::timer_period(hwnd, 2), 0x7FFFFFFFu);
        command(cmd_stop);
    });
}

// ---- Failed starts --------------------------------------------------------------------------------

TEST_F(ShellTest, FailedStartsGiveTheirMessagesAndStayIdle) {
    make_board("ports=1-20");
    struct tcase {
        const char* first;
        int count;
        const char* box;  // nullptr: no box
        bool runs;
    };
    const tcase cases[] = {
        {"30", 2, "Unable to open COM30 at configured baudrate.\rnot found", false},
        {"-5", 2, "Initialization error: -5", false},
        {"-100", 2, nullptr, false},
        // 100 + n no longer decodes below -100: nothing opened must still mean idle.
        {"-200", 2, "Initialization error: -200", false},
        {"-9999", 2, "Initialization error: -9999", false},
        // Near the ends of the range 100 + n and the 10000 mark wrap as 32-bit values do, without the
        // overflow of signed arithmetic (the sanitized build stops at any).
        {"2147473647", 2, "Unable to open COM2147473647 at configured baudrate.\rnot found", false},
        {"2147483548", 2, "Initialization error: 2147483548", false},
        {"-2147483648", 2, "Initialization error: -2147483648", false},
        {"19", 4, "Unable to open COM21 at configured baudrate.\rnot found", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        hl::reset();
        hl::backend b;
        b.created = on_created;
        hl::set_backend(b);
        chnl_count = c.count;
        run(c.first, [&] {
            hl::clear_menu_calls();
            command(cmd_start);
            auto boxes = box_texts();
            if (c.box) {
                ASSERT_EQ(boxes.size(), 1u);
                EXPECT_EQ(boxes[0], c.box);
            } else {
                EXPECT_TRUE(boxes.empty());
            }
            EXPECT_EQ(loop_running.get(), c.runs ? 1 : 0);
            EXPECT_EQ(hl::title(hwnd), c.runs ? running_title : idle_title);
            if (!c.runs) {
                EXPECT_TRUE(hl::menu_calls().empty());
                EXPECT_EQ(state(cmd_stop), 3);
            } else {
                EXPECT_EQ(chnl_count.get(), 2) << "the ports before the missing one run";
                command(cmd_stop);
            }
        });
        EXPECT_EQ(ser::open_handles(), 0);
    }
}

// ---- Dialogs --------------------------------------------------------------------------------------

TEST_F(ShellTest, CountDialogClampsAndKeepsBadTextOpen) {
    make_board("");
    run("", [] {
        const std::pair<const char*, int> cases[] = {{"0", 1},   {"-5", 1}, {"17", 16},
                                                     {"16", 16}, {"1", 1},  {" 7 ", 7}};
        for (auto [text, want] : cases) {
            hl::script_dialog({{text, ui::id_ok}});
            command(cmd_count);
            EXPECT_EQ(chnl_count.get(), want) << text;
            EXPECT_TRUE(hl::dialogs().back().first_command_ended);
        }
        EXPECT_EQ(hl::dialogs().back().initial_text, "1");
        EXPECT_EQ(hl::dialogs().back().caption, "Count of ComPorts");
        for (const char* bad : {"", "abc", "5x", "-", "99999999999"}) {
            hl::script_dialog({{bad, ui::id_ok}});
            command(cmd_count);
            EXPECT_FALSE(hl::dialogs().back().first_command_ended) << "'" << bad << "' keeps the dialog open";
            EXPECT_EQ(hl::dialogs().back().result, 0) << "and the script's cancel closes it";
            EXPECT_EQ(chnl_count.get(), 7);
        }
        // Correcting the text after a refusal works; Cancel changes nothing.
        hl::script_dialog({{"x", ui::id_ok}, {"4", ui::id_ok}});
        command(cmd_count);
        EXPECT_EQ(chnl_count.get(), 4);
        hl::script_dialog({{"9", ui::id_cancel}});
        command(cmd_count);
        EXPECT_EQ(chnl_count.get(), 4);
        EXPECT_EQ(hl::dialogs().back().result, 0);
        EXPECT_TRUE(box_texts().empty());
    });
}

TEST_F(ShellTest, TimeAndFirstDialogsApplyTheirRules) {
    make_board("");
    run("", [] {
        hl::script_dialog({{"-3", ui::id_ok}});
        command(cmd_time);
        EXPECT_EQ(time_limit.get(), 0);
        EXPECT_EQ(hl::dialogs().back().caption, "Time Limit in Minutes");
        hl::script_dialog({{"45", ui::id_ok}});
        command(cmd_time);
        hl::script_dialog({{"", ui::id_ok}});
        command(cmd_time);
        EXPECT_EQ(hl::dialogs().back().initial_text, "45");
        EXPECT_EQ(time_limit.get(), 45);

        chnl_count = 4;
        hl::script_dialog({{"7", ui::id_ok}});
        command(cmd_first);
        EXPECT_EQ(hl::dialogs().back().initial_text, "3");
        for (int i = 0; i < max_chnls; i++) EXPECT_EQ(chnls[i].com_nbr.get(), 7 + i);
        repaint();
        EXPECT_EQ(shown(0), "COM7...COM10   115200   Xon/Xoff");
        hl::script_dialog({{"-2", ui::id_ok}});
        command(cmd_first);
        EXPECT_EQ(chnls[0].com_nbr.get(), -2);
        EXPECT_EQ(chnls[15].com_nbr.get(), 13);
        hl::script_dialog({{"11", ui::id_cancel}});
        command(cmd_first);
        EXPECT_EQ(chnls[0].com_nbr.get(), -2);

        // The About box ignores Cancel (Escape, close box); only OK ends it.
        hl::script_dialog({{nullptr, ui::id_cancel}, {nullptr, ui::id_ok}});
        command(cmd_about);
        EXPECT_EQ(hl::dialogs().back().commands_sent, 2);
        EXPECT_FALSE(hl::dialogs().back().first_command_ended);
        EXPECT_EQ(hl::dialogs().back().result, 1);
    });
}

TEST_F(ShellTest, FormatDialogReadsFormatsAndNarrowWordsRunOnlyUnchecked) {
    make_board("");
    run("", [] {
        chnl_count = 2;
        const std::pair<const char*, const char*> good[] = {{"7E1", "7E1"},       {"8n2", "8N2"},
                                                            {" 5O1.5 ", "5O1.5"}, {"6M2", "6M2"},
                                                            {"8S1", "8S1"},       {"8N1", "8N1"}};
        for (auto [text, want] : good) {
            hl::script_dialog({{text, ui::id_ok}});
            command(cmd_format);
            EXPECT_TRUE(hl::dialogs().back().first_command_ended) << text;
            char f[8];
            format_text(f, sizeof f, com_format);
            EXPECT_STREQ(f, want);
        }
        EXPECT_EQ(hl::dialogs().back().initial_text, "8S1");
        for (const char* bad : {"", "9N1", "4N1", "8X1", "8N3", "8N1.0", "8N15", "7E", "7 E 1", "8N1x"}) {
            hl::script_dialog({{bad, ui::id_ok}});
            command(cmd_format);
            EXPECT_FALSE(hl::dialogs().back().first_command_ended) << "'" << bad << "' keeps the dialog open";
            EXPECT_TRUE(com_format.get() == line_format{});
        }
        repaint();
        EXPECT_EQ(shown(0), "COM3...COM4   115200   Xon/Xoff") << "8N1 is not shown";

        // Fewer than 7 data bits cannot carry the pattern: with the data check the run does not start.
        hl::script_dialog({{"5N1.5", ui::id_ok}});
        command(cmd_format);
        command(cmd_start);
        EXPECT_EQ(loop_running.get(), 0);
        ASSERT_EQ(box_texts().size(), 1u);
        EXPECT_EQ(
            box_texts()[0],
            "Data check needs 7 or 8 data bits: the test pattern does not fit in 5N1.5. Choose \"No verify "
            "of data\" or a format with 7 or 8 data bits.");
        command(cmd_no_verify);
        command(cmd_start);
        ASSERT_EQ(loop_running.get(), 1);
        command(cmd_verify);
        EXPECT_EQ(data_check.get(), 0) << "nor can it be turned on during the run";
        repaint();
        EXPECT_EQ(shown(0), "COM3...COM4   115200   5N1.5   Xon/Xoff   no verify");
        command(cmd_stop);

        // A format the driver does not have ends the start at the first port, naming it.
        command(cmd_verify);
        hl::script_dialog({{"8N1.5", ui::id_ok}});
        command(cmd_format);
        command(cmd_start);
        EXPECT_EQ(loop_running.get(), 0);
        EXPECT_EQ(box_texts().back(),
                  "Unable to open COM3 at configured baudrate.\rthe driver refused 8N1.5");
    });
}

// ---- Status display -------------------------------------------------------------------------------

void set_channel(int i, uint64_t out_cur, uint64_t in_cur, uint64_t errs, uint64_t ovlds, uint32_t t0,
                 uint32_t t, uint32_t pending) {
    chnls[i].out_cur = out_cur;
    chnls[i].in_cur = in_cur;
    chnls[i].in_errs = errs;
    chnls[i].in_ovlds = ovlds;
    chnls[i].out_time0 = t0;
    chnls[i].out_time = t;
    chnls[i].out_pending = pending;
}

TEST_F(ShellTest, SettingsLineFollowsTheSettings) {
    make_board("");
    run("", [] {
        repaint();
        EXPECT_EQ(hl::last_paint()[0].text, "COM3...COM18   115200   Xon/Xoff" + std::string(37, ' '));
        chnl_count = 4;
        command(604);
        command(cmd_loopback_set);
        command(cmd_no_verify);
        repaint();
        EXPECT_EQ(hl::last_paint()[0].text,
                  "COM3...COM6   115200   RTS/CTS   internal loopback   no verify" + std::string(37, ' '));
        chnl_count = 1;
        command(501);
        command(603);
        repaint();
        EXPECT_EQ(shown(0), "COM3...COM3   9600   DTR/DSR   internal loopback   no verify");
        chnls[0].com_flow = 7;
        command(cmd_loopback_clear);
        command(cmd_verify);
        repaint();
        EXPECT_EQ(shown(0), "COM3...COM3   9600   no flow control");
        EXPECT_EQ(hl::cell_color(0, 2), blue);
        EXPECT_EQ(hl::cell_color(0, 20), blue);
    });
}

TEST_F(ShellTest, TableRowsPaddingSkippedRowsLargeCountersAndTickWrap) {
    make_board("");
    run("", [] {
        chnl_count = 6;
        loop_running = 1;  // the display alone: no workers write the fields below
        set_channel(0, 8192, 8000, 0, 0, 1000, 2000, 24576);
        set_channel(1, 8192, 7, 1, 2, 1000, 1999, 5);
        set_channel(2, 500, 500, 0, 0, 4242, 4242, 0);  // not sampled yet: no row
        set_channel(3, 8192, 9, 1234567, 12345678, 0, 3000, 77);
        // Past the old 32-bit limits: shown unsigned and whole, the rate from the full count.
        set_channel(4, 2147483648u, 4294967296u + 5u, 4294967296u, 1, 0, 1000000, 0);
        set_channel(5, 8192, 8192, 0, 0, 0xFFFFFFFFu - 295, 704, 1);
        hl::clear_grid();
        repaint();
        EXPECT_EQ(shown(1), "Port        Xmit        Rcv         Errs        Rate        TxQueue");
        EXPECT_EQ(shown(2), "COM3        8192        8000        0/0         8192        24576");
        EXPECT_EQ(shown(3), "COM4        8192        7           1/2         8200        5");
        EXPECT_EQ(shown(4), "") << "a channel without a sample keeps its row empty";
        EXPECT_EQ(shown(5), "COM6        8192        9           1234567/123456782730        77");
        EXPECT_EQ(shown(6), "COM7        2147483648  4294967301  4294967296/12147483     0");
        EXPECT_EQ(shown(7), "COM8        8192        8192        0/0         8192        1");
        EXPECT_EQ(hl::last_paint().size(), 7u) << "settings line, header and five rows";
        EXPECT_EQ(hl::cell_color(2, 2), hl::black);
        EXPECT_EQ(loop_screen_clear.get(), 0);

        // The TxQueue value covers only its own digits.
        chnls[0].out_pending = 3;
        repaint();
        EXPECT_EQ(shown(2), "COM3        8192        8000        0/0         8192        34576");

        // Long device names are cut to the buffers, never written past them.
        std::snprintf(devLink, sizeof devLink, "/dev/%s", std::string(50, 'x').c_str());
        chnls[0].in_errs = 4294967295u;
        chnls[0].in_ovlds = 2147483648u;
        repaint();
        for (auto& d : hl::last_paint()) EXPECT_LT(d.text.size(), 128u);
        EXPECT_EQ(shown(2).substr(0, 5), "xxxxx");
        loop_running = 0;
    });
}

// ---- Closing while a box is up --------------------------------------------------------------------

std::function<void(const std::string&)> on_box;

int box_hook(ui::window_handle, const char* text, const char*) {
    if (on_box) on_box(text ? text : "");
    return ui::id_ok;
}

TEST_F(ShellTest, ClosingWhileABoxIsUpStopsTheRunOnceWithoutASummary) {
    // The start's "Unable to open" box, with the ports before the missing one already running: closing
    // the window then stops them and restores the ports, and the start does not enter the running state.
    make_board("ports=3-4");
    hl::backend b;
    b.created = on_created;
    b.box = box_hook;
    hl::set_backend(b);
    on_box = [](const std::string& text) {
        if (text.rfind("Unable to open", 0) == 0) ui::send_message(hwnd, ui::wm_close, 0, 0);
    };
    int code = run("", [this] {
        chnl_count = 3;
        command(cmd_start);
        EXPECT_EQ(loop_running.get(), 0);
        EXPECT_FALSE(loop_open());
        for (int p = 3; p <= 4; p++) {
            auto s = board_->snapshot(p);
            EXPECT_FALSE(s.open) << p;
            EXPECT_EQ(s.handflow.ControlHandShake & 0x3Bu, ser::SERIAL_DTR_CONTROL) << p;
        }
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(summaries(), 0u);

    // A box inside the stop that closing starts (a port refusing the wait mask) lets the time limit's
    // timer through: it must find no run to stop, so no summary and one stop only.
    board_.reset();
    make_board("3:refuse=waitmask");
    hl::reset();
    hl::set_backend(b);
    on_box = [](const std::string& text) {
        if (text.rfind("set wait mask (0)", 0) == 0) ui::send_message(hwnd, ui::wm_timer, 2, 0);
    };
    code = run("", [] {
        chnl_count = 1;
        time_limit_secs = 60;
        command(cmd_start);
        ASSERT_EQ(loop_running.get(), 1);
        ui::send_message(hwnd, ui::wm_close, 0, 0);
        time_limit_secs = 0;
    });
    on_box = nullptr;
    EXPECT_EQ(code, 0);
    EXPECT_EQ(summaries(), 0u) << "closing shows no summary";
    size_t stop_boxes = 0;
    for (auto& t : box_texts()) stop_boxes += t.rfind("set wait mask (0)", 0) == 0;
    EXPECT_EQ(stop_boxes, 1u) << "the stop ran once";
}

// ---- Watchdog ------------------------------------------------------------------------------------

TEST_F(ShellTest, TimerOneReplacesAHungMonitor) {
    make_board("3:status-block");
    run("", [] {
        chnl_count = 2;
        command(cmd_start);
        ASSERT_EQ(loop_running.get(), 1);
        uint32_t first_id = wrmon_thrd_id;
        // The monitor counts one heartbeat on channel 0 and then hangs inside its status request.
        ASSERT_TRUE(wait_until([] { return chnls[0].mon_loops >= 1u; }));
        hl::pump_for(8000);
        EXPECT_GE(chnls[0].mon_loops.get(), 2u) << "three ticks without a heartbeat replace the monitor";
        EXPECT_NE(wrmon_thrd_id, first_id);
        EXPECT_NE(wrmon_thrd_hndl.get(), nullptr);
        command(cmd_stop);
    });
}

}  // namespace
