// The settings dialog: what it shows, what Ok and Cancel store in the session
// record and in saveinfo.cfg, the port list's gating by the connection, the
// re-application of the line settings to an open port, and the font choice.
#include "tests/win/testkit.h"
#include "tests/win/peer.h"
#include "settings/settings.h"

using namespace kt;

namespace {

const char kCaption[] = "Kelvo Settings...";

// Ports 2 and 7 lead nowhere: the start-up probe reports them and the tests
// clear that box before they start.
class Settings : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        MapCom(2, "/nonexistent/kelvo-set-tty2");
        MapCom(7, "/nonexistent/kelvo-set-tty7");
    }
    ScratchDir dir;
    MessageBoxSpy spy;
};

std::string LE32(DWORD dw)
{
    const char ab[4] = {(char)(dw & 0xFF), (char)((dw >> 8) & 0xFF), (char)((dw >> 16) & 0xFF),
                        (char)((dw >> 24) & 0xFF)};
    return std::string(ab, 4);
}

// Runs the Settings command (menu id 259) through the message loop while
// pfnAct handles the dialog on the driver thread. True when the dialog came
// up and closed again.
bool RunSettingsCommand(MainWindow &w, const std::function<void(HWND)> &pfnAct)
{
    DialogDriver d(kCaption, pfnAct);
    PostMessageA(w.Hwnd(), WM_COMMAND, IDM_SETTINGS, 0);
    Pump(20000, [&] { return d.Done() && FindDialog(kCaption, 0) == NULL; });
    bool fFound = d.Join();
    return fFound && FindDialog(kCaption, 0) == NULL;
}

// What a combo box shows: every entry in list order and the selected one.
struct ComboView {
    std::vector<std::string> entries;
    std::vector<LRESULT> data;
    LRESULT sel = CB_ERR;
    std::string selText;
    bool fEnabled = false;
};

ComboView ReadCombo(HWND hDlg, int id)
{
    ComboView v;
    HWND h = GetDlgItem(hDlg, id);
    if (!h)
        return v;
    LRESULT n = SendMessageA(h, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < n; i++) {
        char sz[128] = "";
        if (SendMessageA(h, CB_GETLBTEXTLEN, i, 0) < (LRESULT)sizeof sz)
            SendMessageA(h, CB_GETLBTEXT, i, (LPARAM)sz);
        v.entries.push_back(sz);
        v.data.push_back(SendMessageA(h, CB_GETITEMDATA, i, 0));
    }
    v.sel = SendMessageA(h, CB_GETCURSEL, 0, 0);
    if (v.sel != CB_ERR && v.sel < (LRESULT)v.entries.size())
        v.selText = v.entries[v.sel];
    v.fEnabled = IsWindowEnabled(h) != FALSE;
    return v;
}

void Choose(HWND hDlg, int id, int nIndex)
{
    SendDlgItemMessageA(hDlg, id, CB_SETCURSEL, nIndex, 0);
}

void PressOk(HWND hDlg) { PostMessageA(hDlg, WM_COMMAND, IDOK, 0); }
void PressCancel(HWND hDlg) { PostMessageA(hDlg, WM_COMMAND, IDCANCEL, 0); }

// A saveinfo.cfg whose padding holds a sentinel no rewrite by Kelvo keeps.
std::string SentinelSaveInfo(BYTE bPort, DWORD dwBaud)
{
    return std::string(1, (char)bPort) + std::string("\xA5\x5A\xC3", 3) + LE32(dwBaud);
}

const std::vector<std::string> kBaudLabels = {"9600", "19.2k", "38.4k", "56k", "112k"};

} // namespace

// ---------------------------------------------------------------------------
// What the dialog shows

TEST_F(Settings, OpensShowingTheDefaultRecordWithOnlyPortAndBaudChangeable)
{
    MainWindow w;
    spy.Clear();
    ASSERT_EQ(w.Info()->bPort, 2);
    ASSERT_EQ(w.Info()->dwBaudRate, 115200u);

    ComboView port, baud, data, parity, stop;
    UINT checks[3] = {}, tty[3] = {};
    bool fDisabled[IDD_LOCALECHO - IDD_DATABITSCB + 1] = {};
    std::vector<int> ids;
    RECT rcOk = {}, rcCancel = {}, rcFont = {}, rcDialog = {};
    bool fFontEnabled = false;
    ASSERT_TRUE(RunSettingsCommand(w, [&](HWND h) {
        port = ReadCombo(h, IDD_PORTCB);
        baud = ReadCombo(h, IDD_BAUDCB);
        data = ReadCombo(h, IDD_DATABITSCB);
        parity = ReadCombo(h, IDD_PARITYCB);
        stop = ReadCombo(h, IDD_STOPBITSCB);
        checks[0] = IsDlgButtonChecked(h, IDD_DTRDSR);
        checks[1] = IsDlgButtonChecked(h, IDD_RTSCTS);
        checks[2] = IsDlgButtonChecked(h, IDD_XONXOFF);
        tty[0] = IsDlgButtonChecked(h, IDD_AUTOWRAP);
        tty[1] = IsDlgButtonChecked(h, IDD_NEWLINE);
        tty[2] = IsDlgButtonChecked(h, IDD_LOCALECHO);
        for (int id = IDD_DATABITSCB; id <= IDD_LOCALECHO; id++)
            fDisabled[id - IDD_DATABITSCB] = !IsWindowEnabled(GetDlgItem(h, id));
        for (HWND c = GetWindow(h, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
            ids.push_back((WORD)GetDlgCtrlID(c));
        // The dialog's own extent, 200 x 140 dialog units, in client pixels.
        rcDialog = {0, 0, 200, 140};
        MapDialogRect(h, &rcDialog);
        auto clientRect = [&](int id) {
            RECT rc = {};
            GetWindowRect(GetDlgItem(h, id), &rc);
            MapWindowPoints(NULL, h, (POINT *)&rc, 2);
            return rc;
        };
        rcOk = clientRect(IDOK);
        rcCancel = clientRect(IDCANCEL);
        rcFont = clientRect(IDD_FONT);
        fFontEnabled = IsWindowEnabled(GetDlgItem(h, IDD_FONT)) != FALSE;
        PressCancel(h);
    }));

    EXPECT_EQ(port.entries, (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));
    EXPECT_EQ(port.selText, "COM2");
    EXPECT_TRUE(port.fEnabled) << "the port can be changed while unconnected";

    EXPECT_EQ(baud.entries, kBaudLabels) << "entries in table order, not sorted";
    EXPECT_EQ(baud.data, (std::vector<LRESULT>{9600, 19200, 38400, 56000, 115200}));
    EXPECT_EQ(baud.selText, "112k");
    EXPECT_TRUE(baud.fEnabled);

    EXPECT_EQ(data.entries, (std::vector<std::string>{"5", "6", "7", "8"}));
    EXPECT_EQ(data.selText, "8");
    EXPECT_EQ(parity.entries, (std::vector<std::string>{"None", "Even", "Odd", "Mark", "Space"}));
    EXPECT_EQ(parity.selText, "None");
    EXPECT_EQ(stop.entries, (std::vector<std::string>{"1"})) << "one stop-bits entry only";
    EXPECT_EQ(stop.selText, "1");

    EXPECT_EQ(checks[0], (UINT)BST_UNCHECKED) << "DTR/DSR";
    EXPECT_EQ(checks[1], (UINT)BST_UNCHECKED) << "RTS/CTS";
    EXPECT_EQ(checks[2], (UINT)BST_CHECKED) << "XON/XOFF";
    EXPECT_EQ(tty[0], (UINT)(w.Info()->fAutoWrap ? BST_CHECKED : BST_UNCHECKED));
    EXPECT_EQ(tty[1], (UINT)(w.Info()->fNewLine ? BST_CHECKED : BST_UNCHECKED));
    EXPECT_EQ(tty[2], (UINT)(w.Info()->fLocalEcho ? BST_CHECKED : BST_UNCHECKED));
    for (int id = IDD_DATABITSCB; id <= IDD_LOCALECHO; id++)
        EXPECT_TRUE(fDisabled[id - IDD_DATABITSCB]) << "control " << id << " is a read-out";

    const int S = 0xFFFF;   // the statics and group boxes
    EXPECT_EQ(ids, (std::vector<int>{S, S, IDD_PORTCB, S, IDD_BAUDCB, S, IDD_DATABITSCB, S, IDD_PARITYCB,
                                     S, IDD_STOPBITSCB, S, IDD_DTRDSR, IDD_RTSCTS, IDD_XONXOFF, S,
                                     IDD_AUTOWRAP, IDD_NEWLINE, IDD_LOCALECHO, IDOK, IDCANCEL, IDD_FONT}));

    // The font button sits under Cancel, as wide, inside the dialog.
    RECT rcOverlap;
    EXPECT_FALSE(IntersectRect(&rcOverlap, &rcFont, &rcCancel)) << "Font... covers Cancel";
    EXPECT_FALSE(IntersectRect(&rcOverlap, &rcFont, &rcOk));
    EXPECT_GE(rcFont.top, rcCancel.bottom);
    EXPECT_EQ(rcFont.left, rcCancel.left);
    EXPECT_EQ(rcFont.right - rcFont.left, rcCancel.right - rcCancel.left);
    EXPECT_LE(rcFont.bottom, rcDialog.bottom) << "Font... runs off the dialog";
    EXPECT_LE(rcFont.right, rcDialog.right);
    EXPECT_TRUE(fFontEnabled);
    EXPECT_TRUE(spy.Boxes().empty());
}

TEST_F(Settings, ReadOutShowsNonDefaultLineSettingsAndOkKeepsThem)
{
    MainWindow w;
    spy.Clear();
    NPTTYINFO p = w.Info();
    p->bByteSize = 7;
    p->bParity = ODDPARITY;
    p->bFlowCtrl = FC_DTRDSR | FC_RTSCTS;
    p->fAutoWrap = FALSE;
    p->fNewLine = TRUE;
    p->fLocalEcho = TRUE;

    ComboView data, parity;
    UINT checks[6] = {};
    ASSERT_TRUE(RunSettingsCommand(w, [&](HWND h) {
        data = ReadCombo(h, IDD_DATABITSCB);
        parity = ReadCombo(h, IDD_PARITYCB);
        const int ids[6] = {IDD_DTRDSR, IDD_RTSCTS, IDD_XONXOFF, IDD_AUTOWRAP, IDD_NEWLINE, IDD_LOCALECHO};
        for (int i = 0; i < 6; i++)
            checks[i] = IsDlgButtonChecked(h, ids[i]);
        PressOk(h);
    }));
    EXPECT_EQ(data.selText, "7");
    EXPECT_EQ(parity.selText, "Odd");
    EXPECT_EQ(parity.data, (std::vector<LRESULT>{NOPARITY, EVENPARITY, ODDPARITY, MARKPARITY, SPACEPARITY}));
    EXPECT_EQ(checks[0], (UINT)BST_CHECKED);
    EXPECT_EQ(checks[1], (UINT)BST_CHECKED);
    EXPECT_EQ(checks[2], (UINT)BST_UNCHECKED);
    EXPECT_EQ(checks[3], (UINT)BST_UNCHECKED);
    EXPECT_EQ(checks[4], (UINT)BST_CHECKED);
    EXPECT_EQ(checks[5], (UINT)BST_CHECKED);

    EXPECT_EQ(p->bByteSize, 7);
    EXPECT_EQ(p->bParity, ODDPARITY);
    EXPECT_EQ(p->bStopBits, ONESTOPBIT);
    EXPECT_EQ(p->bFlowCtrl, FC_DTRDSR | FC_RTSCTS);
    EXPECT_FALSE(p->fAutoWrap);
    EXPECT_TRUE(p->fNewLine);
    EXPECT_TRUE(p->fLocalEcho);
}

TEST_F(Settings, PortListIsDisabledWhileConnected)
{
    MainWindow w;
    spy.Clear();
    // Marked connected by hand, without a port: the command's re-application
    // of the line settings then fails and says so.
    w.Info()->fConnected = TRUE;
    ComboView port, baud;
    bool fOk = RunSettingsCommand(w, [&](HWND h) {
        port = ReadCombo(h, IDD_PORTCB);
        baud = ReadCombo(h, IDD_BAUDCB);
        PressCancel(h);
    });
    bool fBox = spy.WaitFor(1);
    w.Info()->fConnected = FALSE;
    ASSERT_TRUE(fOk);
    EXPECT_FALSE(port.fEnabled);
    EXPECT_EQ(port.selText, "COM2") << "shows the port in use";
    EXPECT_TRUE(baud.fEnabled) << "the baud rate stays changeable";
    ASSERT_TRUE(fBox);
    std::vector<Box> boxes = spy.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Settings failed!");
    EXPECT_EQ(boxes[0].caption, "Kelvo");
}

// ---------------------------------------------------------------------------
// What Ok and Cancel store

TEST_F(Settings, OkWithoutChangesRewritesSaveInfoAndKeepsEveryField)
{
    MainWindow w;
    spy.Clear();
    // Different bytes in the file than in the record: only a rewrite by Ok
    // brings port 2 and 115200 back.
    WriteFileBytes("saveinfo.cfg", SentinelSaveInfo(3, 9600));
    NPTTYINFO p = w.Info();
    const BYTE bByteSize = p->bByteSize, bParity = p->bParity, bStopBits = p->bStopBits;
    const BOOL fAutoWrap = p->fAutoWrap, fNewLine = p->fNewLine, fLocalEcho = p->fLocalEcho;
    ASSERT_TRUE(RunSettingsCommand(w, [&](HWND h) { PressOk(h); }));

    std::string s = ReadFileBytes("saveinfo.cfg");
    ASSERT_EQ(s.size(), 8u) << Hex(s);
    EXPECT_EQ((unsigned char)s[0], 2);
    EXPECT_EQ(s.substr(4), LE32(115200)) << Hex(s);

    EXPECT_EQ(p->bPort, 2);
    EXPECT_EQ(p->dwBaudRate, 115200u);
    EXPECT_EQ(p->bByteSize, bByteSize);
    EXPECT_EQ(p->bParity, bParity);
    EXPECT_EQ(p->bStopBits, bStopBits);
    EXPECT_EQ(p->bFlowCtrl, FC_XONXOFF);
    EXPECT_EQ(p->fAutoWrap, fAutoWrap);
    EXPECT_EQ(p->fNewLine, fNewLine);
    EXPECT_EQ(p->fLocalEcho, fLocalEcho);
    // No boxes for these in the dialog: Ok must not clear them.
    EXPECT_TRUE(p->fDisplayErrors);
    EXPECT_TRUE(p->fUseCNReceive);
    EXPECT_TRUE(spy.Boxes().empty());
}

TEST_F(Settings, Choosing56kStores56000InRecordAndFile)
{
    MainWindow w;
    spy.Clear();
    ASSERT_TRUE(RunSettingsCommand(w, [&](HWND h) {
        Choose(h, IDD_BAUDCB, 3);
        Choose(h, IDD_PORTCB, 0);
        PressOk(h);
    }));
    EXPECT_EQ(w.Info()->dwBaudRate, 56000u);
    EXPECT_EQ(w.Info()->bPort, 1);
    std::string s = ReadFileBytes("saveinfo.cfg");
    ASSERT_EQ(s.size(), 8u) << Hex(s);
    EXPECT_EQ((unsigned char)s[0], 1);
    EXPECT_EQ(s.substr(4), LE32(56000)) << Hex(s);
    EXPECT_TRUE(spy.Boxes().empty());
}

TEST_F(Settings, CancelLeavesRecordAndFileUntouched)
{
    MainWindow w;
    spy.Clear();
    const std::string file = SentinelSaveInfo(2, 115200);
    WriteFileBytes("saveinfo.cfg", file);
    ASSERT_TRUE(RunSettingsCommand(w, [&](HWND h) {
        Choose(h, IDD_BAUDCB, 0);
        Choose(h, IDD_PORTCB, 2);
        PressCancel(h);
    }));
    EXPECT_EQ(w.Info()->bPort, 2);
    EXPECT_EQ(w.Info()->dwBaudRate, 115200u);
    EXPECT_EQ(Hex(ReadFileBytes("saveinfo.cfg")), Hex(file));
    EXPECT_TRUE(spy.Boxes().empty()) << "unconnected: nothing to re-apply";
}

TEST_F(Settings, ValuesNoListEntryCarriesSurviveOk)
{
    WriteSaveInfo(7, 12345);
    MainWindow w;
    spy.Clear();
    ASSERT_EQ(w.Info()->bPort, 7);
    ASSERT_EQ(w.Info()->dwBaudRate, 12345u);
    ComboView port, baud;
    ASSERT_TRUE(RunSettingsCommand(w, [&](HWND h) {
        port = ReadCombo(h, IDD_PORTCB);
        baud = ReadCombo(h, IDD_BAUDCB);
        PressOk(h);
    }));
    EXPECT_EQ(port.sel, CB_ERR);
    EXPECT_EQ(baud.sel, CB_ERR);
    EXPECT_EQ(w.Info()->bPort, 7) << "not 0";
    EXPECT_EQ(w.Info()->dwBaudRate, 12345u) << "not 0xFFFFFFFF";
    std::string s = ReadFileBytes("saveinfo.cfg");
    ASSERT_EQ(s.size(), 8u) << Hex(s);
    EXPECT_EQ((unsigned char)s[0], 7);
    EXPECT_EQ(s.substr(4), LE32(12345)) << Hex(s);
}

TEST_F(Settings, UnwritableSaveInfoStillUpdatesRecordSilently)
{
    MainWindow w;
    spy.Clear();
    const std::string file = SentinelSaveInfo(2, 115200);
    WriteFileBytes("saveinfo.cfg", file);
    ASSERT_TRUE(SetFileAttributesA("saveinfo.cfg", FILE_ATTRIBUTE_READONLY));
    // Wine maps the read-only attribute to the file's mode bits, which do not
    // stop a process running as root; a handle that shares the file for
    // reading only keeps every writer out whoever runs the test.
    HANDLE hHold = CreateFileA("saveinfo.cfg", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(hHold, INVALID_HANDLE_VALUE);
    bool fRan = RunSettingsCommand(w, [&](HWND h) {
        Choose(h, IDD_BAUDCB, 1);
        PressOk(h);
    });
    Pump(200);
    CloseHandle(hHold);
    ASSERT_TRUE(fRan);
    EXPECT_EQ(w.Info()->dwBaudRate, 19200u);
    EXPECT_EQ(Hex(ReadFileBytes("saveinfo.cfg")), Hex(file)) << "the file keeps its old contents";
    EXPECT_TRUE(spy.Boxes().empty());
    SetFileAttributesA("saveinfo.cfg", FILE_ATTRIBUTE_NORMAL);
}

// ---------------------------------------------------------------------------
// An open connection

TEST_F(Settings, LineSettingsReachTheOpenPortWhicheverButtonCloses)
{
    PtyPeer peer;
    ASSERT_TRUE(peer.Start(9)) << peer.Error();
    WriteSaveInfo(9, 115200);
    MainWindow w;
    ASSERT_TRUE(spy.Boxes().empty()) << "COM9 is there";
    ASSERT_TRUE(OpenConnection(w.Hwnd()));
    NPTTYINFO p = w.Info();
    PtyPeer::Termios t;
    ASSERT_TRUE(peer.GetTermios(&t));
    EXPECT_EQ(t.speed, 115200u);

    // Cancel: the record keeps its rate and the port is set from it again.
    ComboView port;
    ASSERT_TRUE(RunSettingsCommand(w, [&](HWND h) {
        port = ReadCombo(h, IDD_PORTCB);
        Choose(h, IDD_BAUDCB, 0);
        PressCancel(h);
    }));
    EXPECT_FALSE(port.fEnabled);
    EXPECT_EQ(port.selText, "");   // COM9 is not among the four entries
    EXPECT_EQ(p->dwBaudRate, 115200u);
    ASSERT_TRUE(peer.GetTermios(&t));
    EXPECT_EQ(t.speed, 115200u);

    // A rate put into the record but not yet on the port arrives with the
    // Cancel too: the command re-applies the record whichever button closed.
    p->dwBaudRate = 38400;
    ASSERT_TRUE(RunSettingsCommand(w, [&](HWND h) {
        Choose(h, IDD_BAUDCB, 0);
        PressCancel(h);
    }));
    EXPECT_EQ(p->dwBaudRate, 38400u);
    ASSERT_TRUE(peer.GetTermios(&t));
    EXPECT_EQ(t.speed, 38400u);

    // Ok: the new rate is stored and on the line.
    ASSERT_TRUE(RunSettingsCommand(w, [&](HWND h) {
        Choose(h, IDD_BAUDCB, 0);
        PressOk(h);
    }));
    EXPECT_EQ(p->dwBaudRate, 9600u);
    EXPECT_EQ(p->bPort, 9) << "the port in use stays";
    EXPECT_TRUE(p->fConnected);
    ASSERT_TRUE(peer.GetTermios(&t));
    EXPECT_EQ(t.speed, 9600u);
    std::string s = ReadFileBytes("saveinfo.cfg");
    ASSERT_EQ(s.size(), 8u);
    EXPECT_EQ((unsigned char)s[0], 9);
    EXPECT_EQ(s.substr(4), LE32(9600));

    EXPECT_TRUE(spy.Boxes().empty()) << "no \"Settings failed!\" on a real port";
    CloseConnection(w.Hwnd());
    EXPECT_FALSE(p->fConnected);
}

// ---------------------------------------------------------------------------
// The font

namespace {

// The face-name and size lists of the font dialog.
const int kFaceCombo = 0x470;   // cmb1
const int kSizeCombo = 0x472;   // cmb3

struct FontChoice {
    bool fFontDialog = false;
    std::string face;
    std::vector<std::string> faces;
};

// Presses Font... in the settings dialog, picks a face other than the
// current one and the largest size, then ends the font dialog with
// idFontEnd and the settings dialog with Ok.
FontChoice DriveFontDialog(HWND hDlg, int idFontEnd)
{
    FontChoice fc;
    PostMessageA(hDlg, WM_COMMAND, IDD_FONT, 0);
    HWND hFont = FindDialog("Font", 10000);
    fc.fFontDialog = hFont != NULL;
    if (hFont) {
        ComboView faces = ReadCombo(hFont, kFaceCombo);
        fc.faces = faces.entries;
        for (LRESULT i = 0; i < (LRESULT)faces.entries.size(); i++) {
            if (i != faces.sel && faces.entries[i] != faces.selText) {
                HWND hCombo = GetDlgItem(hFont, kFaceCombo);
                SendMessageA(hCombo, CB_SETCURSEL, i, 0);
                SendMessageA(hFont, WM_COMMAND, MAKEWPARAM(kFaceCombo, CBN_SELCHANGE), (LPARAM)hCombo);
                fc.face = faces.entries[i];
                break;
            }
        }
        HWND hSize = GetDlgItem(hFont, kSizeCombo);
        LRESULT nSizes = SendMessageA(hSize, CB_GETCOUNT, 0, 0);
        if (nSizes > 0) {
            SendMessageA(hSize, CB_SETCURSEL, nSizes - 1, 0);
            SendMessageA(hFont, WM_COMMAND, MAKEWPARAM(kSizeCombo, CBN_SELCHANGE), (LPARAM)hSize);
        }
        PostMessageA(hFont, WM_COMMAND, idFontEnd, 0);
        for (int i = 0; i < 500 && IsWindow(hFont); i++)
            Sleep(10);
    }
    PressOk(hDlg);
    return fc;
}


} // namespace

TEST_F(Settings, FontChoiceResizesTheCellAndKeepsTheText)
{
    MainWindow w;
    spy.Clear();
    NPTTYINFO p = w.Info();
    TTYPrintf(w.Hwnd(), "\r\nsome text\r\nmore");
    const std::string screen = w.Screen();
    const int nRow = p->nRow, nColumn = p->nColumn;
    const int yCharBefore = p->yChar;
    const std::string faceBefore = p->lfTTYFont.lfFaceName;

    FontChoice fc;
    ASSERT_TRUE(RunSettingsCommand(w, [&](HWND h) { fc = DriveFontDialog(h, IDOK); }));
    ASSERT_TRUE(fc.fFontDialog) << "the font dialog did not come up";
    ASSERT_FALSE(fc.face.empty()) << "only one fixed-pitch face offered";

    EXPECT_EQ(std::string(p->lfTTYFont.lfFaceName), fc.face);
    int xChar = 0, yChar = 0;
    CellOf(w.Hwnd(), p->lfTTYFont, &xChar, &yChar);
    EXPECT_EQ(p->xChar, xChar);
    EXPECT_EQ(p->yChar, yChar);
    EXPECT_NE(p->yChar, yCharBefore) << "the largest size was chosen";
    EXPECT_EQ(w.Screen(), screen);
    EXPECT_EQ(p->nRow, nRow);
    EXPECT_EQ(p->nColumn, nColumn);
    EXPECT_NE(faceBefore, fc.face);
    EXPECT_TRUE(spy.Boxes().empty());
}

TEST_F(Settings, CancelledFontChoiceChangesNothing)
{
    MainWindow w;
    spy.Clear();
    NPTTYINFO p = w.Info();
    const LOGFONTA lfBefore = p->lfTTYFont;
    const int xChar = p->xChar, yChar = p->yChar;
    const DWORD rgb = p->rgbFGColor;
    const HFONT hFont = p->hTTYFont;

    FontChoice fc;
    ASSERT_TRUE(RunSettingsCommand(w, [&](HWND h) { fc = DriveFontDialog(h, IDCANCEL); }));
    ASSERT_TRUE(fc.fFontDialog);
    EXPECT_EQ(std::string(p->lfTTYFont.lfFaceName), std::string(lfBefore.lfFaceName));
    EXPECT_EQ(p->lfTTYFont.lfHeight, lfBefore.lfHeight);
    EXPECT_EQ(p->lfTTYFont.lfWidth, lfBefore.lfWidth);
    EXPECT_EQ(p->xChar, xChar);
    EXPECT_EQ(p->yChar, yChar);
    EXPECT_EQ(p->rgbFGColor, rgb);
    EXPECT_EQ(p->hTTYFont, hFont);
}
