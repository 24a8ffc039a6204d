// The converter run as a process: lossless output per pixel format, records written out,
// output names and folders, damage and unreadable inputs reported, the command line.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "tests/encoder/context_encoder.h"
#include "tests/encoder/method1_encoder.h"
#include "tests/encoder/method2_encoder.h"
#include "tests/encoder/test_images.h"
#include "tests/test_support.h"

namespace pqz {
namespace {

using enc::ImageBlock;
using enc::Picture;

using ToolRun = test::ProcessRun;

ToolRun runConvert(const std::string& args) {
    return test::runProcess(std::string("'") + PQZ2_CONVERT_PATH + "' " + args + " 2>&1");
}

ImageBlock raw(uint16_t w, uint16_t h, uint8_t format, std::vector<uint8_t> payload) {
    ImageBlock b;
    b.width = w;
    b.height = h;
    b.format = format;
    b.payload = std::move(payload);
    return b;
}

TEST(Pqzconvert, LosslessPngPerPixelFormat) {
    test::TempDir dir;
    enc::PqzWriter w;
    w.imageBlock(raw(2, 1, 32, {1, 2, 3, 4, 5, 6, 7, 8}));  // blue, green, red, fourth byte
    w.imageBlock(raw(3, 1, 0x44, {0x12, 0x30}));            // 4-bit grey stays 4-bit grey
    ImageBlock pal = raw(2, 1, 0x81, {0x40});
    pal.palette = {10, 20, 30, 40, 50, 60};  // blue, green, red per entry
    w.imageBlock(pal);
    w.imageBlock(raw(1, 1, 16, {0x1F, 0x00}));
    w.save(dir.file("in.pqz"));
    ToolRun r = runConvert("-o '" + dir.path() + "' '" + dir.file("in.pqz") + "'");
    ASSERT_EQ(r.status, 0) << r.out;

    Picture rgba = enc::loadPng(dir.file("in.0.png"));
    EXPECT_EQ(rgba.channels, 4);
    EXPECT_EQ(rgba.pixels, (std::vector<uint8_t>{3, 2, 1, 4, 7, 6, 5, 8}));
    Picture grey = enc::loadPng(dir.file("in.1.png"), true);
    EXPECT_EQ(grey.channels, 1);
    EXPECT_EQ(grey.pixels, (std::vector<uint8_t>{0x11, 0x22, 0x33}));  // 4-bit levels
    Picture indexed = enc::loadPng(dir.file("in.2.png"), true);
    EXPECT_EQ(indexed.pixels, (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(indexed.paletteRgb, (std::vector<uint8_t>{30, 20, 10, 60, 50, 40}));
    Picture rgb = enc::loadPng(dir.file("in.3.png"));
    EXPECT_EQ(rgb.pixels, (std::vector<uint8_t>{0, 0, 0xF8}));

    r = runConvert("--rgb -f bmp -o '" + dir.path() + "' '" + dir.file("in.pqz") + "'");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<uint8_t> bmp = enc::readFile(dir.file("in.0.bmp"));
    ASSERT_GE(bmp.size(), 62u);
    EXPECT_EQ(bmp[28], 24);  // bits per pixel once the fourth byte is dropped
}

// Writes the file and returns its path.
std::string save(const test::TempDir& dir, const std::string& name, const enc::PqzWriter& w) {
    w.save(dir.file(name));
    return dir.file(name);
}

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

int lines(const std::string& text) {
    return int(std::count(text.begin(), text.end(), '\n'));
}

// -x writes every auxiliary header and extra block, also in files that hold no image, and
// --list gives each record the size of the file -x writes.
TEST(Pqzconvert, RecordsWrittenAndListedAlike) {
    test::TempDir dir;
    enc::PqzWriter extrasOnly;
    extrasOnly.extraBlock(1, {1, 2, 3, 4, 5, 6});
    extrasOnly.extraBlock(2, {});
    const std::string only = save(dir, "only.pqz", extrasOnly);
    enc::PqzWriter mixed;
    ImageBlock img = raw(1, 1, 1, {0x80});
    img.aux = std::make_pair(12u, std::vector<uint8_t>{1, 2, 3});
    mixed.imageBlock(img);
    mixed.extraBlock(7, {4, 5});
    const std::string both = save(dir, "both.pqz", mixed);

    ToolRun r = runConvert("-x -o " + quoted(dir.path()) + " " + quoted(only) + " " + quoted(both));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(enc::readFile(dir.file("only.extra-0-1.bin")),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 0, 0}));
    EXPECT_EQ(enc::readFile(dir.file("only.extra-1-2.bin")), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(enc::readFile(dir.file("both.0.aux-12.bin")), (std::vector<uint8_t>{1, 2, 3, 0}));
    EXPECT_EQ(enc::readFile(dir.file("both.extra-0-7.bin")), (std::vector<uint8_t>{4, 5, 0, 0}));
    EXPECT_FALSE(enc::readFile(dir.file("both.0.png")).empty());

    r = runConvert("--list " + quoted(only) + " " + quoted(both));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "extra block 0: type 1, 8 bytes (6 stored)")) << r.out;
    EXPECT_TRUE(contains(r.out, "extra block 1: type 2, 4 bytes (0 stored)")) << r.out;
    EXPECT_TRUE(contains(r.out,
                         "image 0: 1x1, 1 bit, payload 1 byte, raw, aux header type 12, "
                         "4 bytes (3 stored)"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "extra block 0: type 7, 4 bytes (2 stored)")) << r.out;
}

// Inputs of the same name from different folders get distinct outputs, also under -j; a run
// never replaces what it wrote itself; -n leaves existing files alone and says so.
TEST(Pqzconvert, OutputNamesNeverCollide) {
    test::TempDir dir;
    ASSERT_EQ(mkdir(dir.file("a").c_str(), 0777), 0);
    ASSERT_EQ(mkdir(dir.file("b").c_str(), 0777), 0);
    enc::PqzWriter first, second;
    first.imageBlock(raw(1, 1, 8, {11}));
    second.imageBlock(raw(1, 1, 8, {22}));
    const std::string a = save(dir, "a/pic.pqz", first), b = save(dir, "b/pic.pqz", second);
    const std::string out = dir.file("out");

    ToolRun r =
        runConvert("-j 2 -o " + quoted(out) + " " + quoted(a) + " " + quoted(b) + " " + quoted(a));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(enc::loadPng(out + "/pic.0.png", true).pixels, std::vector<uint8_t>{11});
    EXPECT_EQ(enc::loadPng(out + "/pic-2.0.png", true).pixels, std::vector<uint8_t>{22});
    EXPECT_EQ(enc::loadPng(out + "/pic-3.0.png", true).pixels, std::vector<uint8_t>{11});
    EXPECT_TRUE(contains(r.out, "b/pic.pqz: written as " + out + "/pic-2.*")) << r.out;

    // Without -o each input writes beside itself.
    r = runConvert(quoted(a) + " " + quoted(b));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(enc::loadPng(dir.file("b/pic.0.png"), true).pixels, std::vector<uint8_t>{22});

    // Existing files: replaced by default, left alone (and the run fails) with -n.
    r = runConvert("-o " + quoted(out) + " " + quoted(b));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(enc::loadPng(out + "/pic.0.png", true).pixels, std::vector<uint8_t>{22});
    r = runConvert("--no-overwrite -o " + quoted(out) + " " + quoted(a));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "pic.0.png exists; left as it is")) << r.out;
    EXPECT_EQ(enc::loadPng(out + "/pic.0.png", true).pixels, std::vector<uint8_t>{22});
    EXPECT_EQ(runConvert("-n --overwrite " + quoted(a)).status, 2);
}

// The output folder is checked once before anything is decoded: made when missing, its
// problem said once with the system's reason.
TEST(Pqzconvert, OutputFolderCheckedFirst) {
    test::TempDir dir;
    enc::PqzWriter w;
    w.imageBlock(raw(1, 1, 8, {5}));
    const std::string in = save(dir, "in.pqz", w), in2 = save(dir, "in2.pqz", w);

    ToolRun r = runConvert("-o " + quoted(dir.file("new/deeper")) + " " + quoted(in));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(enc::readFile(dir.file("new/deeper/in.0.png")).empty());

    r = runConvert("-o " + quoted(in) + " " + quoted(in) + " " + quoted(in2));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "pqzconvert: cannot write into " + in + ": Not a directory; 2 files not converted\n");

    if (geteuid() != 0) {  // permissions do not bind the superuser
        ASSERT_EQ(mkdir(dir.file("locked").c_str(), 0555), 0);
        r = runConvert("-o " + quoted(dir.file("locked")) + " " + quoted(in));
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.out, "Permission denied")) << r.out;
        EXPECT_EQ(lines(r.out), 1) << r.out;
    }
}

// Damage is reported with what and where, and what of the file was not converted; the
// images in front of it are written and the other files go on.
TEST(Pqzconvert, DamageSaysWhatWhereAndWhatIsLeft) {
    test::TempDir dir;
    enc::PqzWriter cut;
    cut.imageBlock(raw(1, 1, 8, {9}));
    ImageBlock longer = raw(2, 1, 8, {1, 2});
    longer.payloadSizeField = 12;  // announces 10 bytes more than the file holds
    cut.imageBlock(longer);
    enc::PqzWriter badTag;
    badTag.imageBlock(raw(1, 1, 8, {9}));
    badTag.tag(0x33);
    enc::PqzWriter badStream;
    badStream.imageBlock(raw(1, 1, 8, {9}));
    ImageBlock coded = raw(4, 4, 8, std::vector<uint8_t>(16, 0x5A));
    coded.flags = 0x24;  // range-coded, but the payload is no coded stream
    badStream.imageBlock(coded);
    badStream.extraBlock(3, {1});
    badStream.imageBlock(raw(1, 1, 8, {9}));
    enc::PqzWriter good;
    good.imageBlock(raw(1, 1, 8, {9}));
    const std::string files =
        quoted(save(dir, "cut.pqz", cut)) + " " + quoted(save(dir, "tag.pqz", badTag)) + " " +
        quoted(save(dir, "stream.pqz", badStream)) + " " + quoted(save(dir, "good.pqz", good));

    ToolRun r = runConvert("-j 2 " + files);
    EXPECT_EQ(r.status, 1);
    for (const char* said :
         {"cut.pqz: damaged block: image 1 at offset 21 announces 12 bytes, 2 remain\n",
          "cut.pqz: not converted: the rest of the file from offset 21 (22 bytes): image 1\n",
          "tag.pqz: damaged block after image 0: no valid block at offset 21\n",
          "tag.pqz: not converted: the rest of the file from offset 21 (4 bytes), which forms no "
          "valid block\n",
          "stream.pqz: image 1 at offset 21 cannot be decoded: ",
          "stream.pqz: not converted: the rest of the file from offset 21 (70 bytes): images 1 "
          "to 2, 1 extra block\n"})
        EXPECT_TRUE(contains(r.out, said)) << said << "\n" << r.out;
    for (const char* written : {"cut.0.png", "tag.0.png", "stream.0.png", "good.0.png"})
        EXPECT_FALSE(enc::readFile(dir.file(written)).empty()) << written;
    EXPECT_TRUE(enc::readFile(dir.file("stream.2.png")).empty());

    r = runConvert("--list " + quoted(dir.file("cut.pqz")));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "image 1 at offset 21 announces 12 bytes, 2 remain")) << r.out;
}

// Sorted names of the files in a folder.
std::vector<std::string> folderFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Decoding on several threads changes nothing a user sees: the same files with the same bytes,
// the same messages in the same order, the same exit status as on one thread, over coded
// images of every family, records, damage that stops a file part-way, an image without
// pixels, an unreadable input and inputs of the same name.
TEST(Pqzconvert, ConcurrentJobsMatchOneJob) {
    test::TempDir dir;
    ASSERT_EQ(mkdir(dir.file("a").c_str(), 0777), 0);
    const enc::Picture grey = enc::toGrey(enc::crop(enc::loadImage("camera.png"), 40, 60, 48, 40));
    const enc::Picture colour = enc::crop(enc::loadImage("coffee.png"), 100, 80, 40, 32);
    std::vector<std::string> inputs;
    enc::PqzWriter mixed;
    mixed.imageBlock(enc::contextImageBlock(grey.width, grey.height, 0x48, grey.pixels));
    mixed.extraBlock(5, {1, 2, 3});
    ImageBlock withAux = enc::encodeMethod1Picture(colour, 2).block;
    withAux.aux = std::make_pair(9u, std::vector<uint8_t>{7, 7});
    mixed.imageBlock(withAux);
    mixed.imageBlock(raw(0, 3, 8, {}));
    mixed.imageBlock(enc::encodeMethod2Picture(grey, 1).block);
    mixed.imageBlock(enc::encodeMethod1Picture(grey).block);
    inputs.push_back(save(dir, "mixed.pqz", mixed));
    enc::PqzWriter broken;  // a coded image that fails stops the file behind it
    broken.imageBlock(enc::encodeMethod2Picture(colour).block);
    ImageBlock noStream = raw(4, 4, 8, std::vector<uint8_t>(16, 0x5A));
    noStream.flags = 0x24;
    broken.imageBlock(noStream);
    for (int i = 0; i < 3; i++) broken.imageBlock(enc::encodeMethod2Picture(grey).block);
    inputs.push_back(save(dir, "broken.pqz", broken));
    inputs.push_back(dir.file("missing.pqz"));
    for (int i = 0; i < 6; i++) {
        enc::PqzWriter one;
        one.imageBlock(raw(2, 1, 8, {uint8_t(i), 9}));
        if (i % 2) one.imageBlock(enc::encodeMethod1Picture(enc::crop(colour, i, 0, 16, 8)).block);
        inputs.push_back(save(dir, "s" + std::to_string(i) + ".pqz", one));
    }
    inputs.push_back(save(dir, "a/mixed.pqz", mixed));  // same name as the first input
    std::string names;
    for (const std::string& in : inputs) names += " " + quoted(in);

    struct Run {
        int status;
        std::string out, err;
        std::vector<std::string> files;
        std::vector<std::vector<uint8_t>> bytes;
    };
    auto run = [&](const char* jobs) {
        const std::string out = dir.file(std::string("out") + jobs);
        const std::string err = dir.file("err.txt");
        Run r;
        const ToolRun t =
            test::runProcess(std::string("'") + PQZ2_CONVERT_PATH + "' -x -j " + jobs + " -o " +
                             quoted(dir.file("out")) + names + " 2>" + quoted(err));
        EXPECT_EQ(std::rename(dir.file("out").c_str(), out.c_str()), 0);
        r.status = t.status;
        r.out = t.out;
        const std::vector<uint8_t> e = enc::readFile(err);
        r.err.assign(e.begin(), e.end());
        r.files = folderFiles(out);
        for (const std::string& f : r.files) r.bytes.push_back(enc::readFile(out + "/" + f));
        return r;
    };
    const Run one = run("1");
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(one.files.size(), 22u) << one.err;
    EXPECT_TRUE(contains(one.err, "broken.pqz: not converted: the rest of the file from offset"))
        << one.err;
    for (const char* jobs : {"2", "4", "16"}) {
        const Run many = run(jobs);
        EXPECT_EQ(many.status, one.status) << jobs;
        EXPECT_EQ(many.out, one.out) << jobs;
        EXPECT_EQ(many.err, one.err) << jobs;
        EXPECT_EQ(many.files, one.files) << jobs;
        EXPECT_TRUE(many.bytes == one.bytes) << jobs;
    }
}

// Inputs that are no PQZ file at all: every one is reported with its reason, in conversion and
// listing alike, and fails the run.
TEST(Pqzconvert, UnreadableInputsSayWhy) {
    test::TempDir dir;
    enc::PqzWriter empty;
    const std::string none = save(dir, "empty.pqz", empty);
    for (const char* mode : {"", "--list "}) {
        ToolRun r = runConvert(std::string(mode) + quoted(none));
        EXPECT_EQ(r.status, 1) << mode;
        EXPECT_TRUE(contains(r.out, "empty.pqz: empty file (no blocks)")) << r.out;
        r = runConvert(std::string(mode) + quoted(dir.path()));
        EXPECT_EQ(r.status, 1) << mode;
        EXPECT_TRUE(contains(r.out, dir.path() + ": Is a directory")) << r.out;
        for (const char* missing : {"missing.pqz", "nowhere/missing.pqz"}) {
            r = runConvert(std::string(mode) + quoted(dir.file(missing)));
            EXPECT_EQ(r.status, 1) << mode;
            EXPECT_EQ(r.out, "pqzconvert: " + dir.file(missing) + ": No such file or directory\n");
        }
    }
}

// The usual option forms, --version, and conflicts refused as usage errors (status 2).
TEST(Pqzconvert, OptionForms) {
    test::TempDir dir;
    enc::PqzWriter w;
    ImageBlock img = raw(1, 1, 8, {7});
    img.aux = std::make_pair(5u, std::vector<uint8_t>{1});
    w.imageBlock(img);
    save(dir, "-dash.pqz", w);
    const std::string out = quoted(dir.file("out"));

    ToolRun r = runConvert("-j2 --jobs=2 --format=bmp -qx --output=" + out + " -- " +
                           quoted(dir.file("-dash.pqz")));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(enc::readFile(dir.file("out/-dash.0.bmp")).empty());
    EXPECT_FALSE(enc::readFile(dir.file("out/-dash.0.aux-5.bin")).empty());
    r = runConvert("--version");
    EXPECT_EQ(r.status, 0);
    // "pqzconvert MAJOR.MINOR..."
    const std::string name = "pqzconvert ";
    const size_t dot = r.out.find('.');
    const auto digits = [&](size_t from, size_t to) {
        return to > from && r.out.find_first_not_of("0123456789", from) >= to;
    };
    EXPECT_TRUE(r.out.rfind(name, 0) == 0 && dot != std::string::npos && digits(name.size(), dot) &&
                dot + 1 < r.out.size() && std::isdigit(static_cast<unsigned char>(r.out[dot + 1])))
        << r.out;
    r = runConvert("--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "ref(offset V)")) << "the legend of the coding terms";

    for (const char* wrong : {"-l -x f", "--list --format=png f", "--frobnicate f", "-j 0 f",
                              "-j2x f", "--format=gif f", "-o", ""}) {
        r = runConvert(wrong);
        EXPECT_EQ(r.status, 2) << wrong;
        EXPECT_EQ(lines(r.out), 1) << r.out;
    }
    EXPECT_TRUE(contains(runConvert("-l -x f").out, "conflicts with -x"));
}

// --salvage on a whole file: everything written as usual, a report saying nothing was lost,
// and the JSON report with the file's name escaped. --json belongs to --salvage, which
// belongs to conversion.
TEST(Pqzconvert, SalvageOfAWholeFileLosesNothing) {
    test::TempDir dir;
    enc::PqzWriter w;
    w.imageBlock(raw(2, 2, 0x48, {1, 2, 3, 4}));
    w.extraBlock(5, {9});
    w.imageBlock(raw(1, 1, 0x48, {7}));
    const std::string in = save(dir, "we\"i\\rd.pqz", w);
    const std::string json = dir.file("report.json");

    ToolRun r = runConvert("--salvage --json=" + quoted(json) + " " + quoted(in));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, in + ": 2 images whole, 1 extra block; nothing lost\n");
    EXPECT_EQ(enc::loadPng(dir.file("we\"i\\rd.1.png"), true).pixels, std::vector<uint8_t>{7});
    const std::vector<uint8_t> bytes = enc::readFile(json);
    const std::string report(bytes.begin(), bytes.end());
    for (const char* said :
         {"we\\\"i\\\\rd.pqz\"", "\"lost_anything\": false", "\"images_whole\": 2",
          "\"extra_blocks\": 1", "\"good_rows\": 2", "\"skipped\": []"})
        EXPECT_TRUE(contains(report, said)) << said << "\n" << report;
    EXPECT_EQ(report.front(), '[');

    for (const std::string& wrong :
         {"--json=r.json " + quoted(in), "--list --salvage " + quoted(in)})
        EXPECT_EQ(runConvert(wrong).status, 2) << wrong;
}

// --salvage on a damaged file: the images behind bytes that form no block (a false block start
// among them) are written, the cut image as FILE.K.partial.png with its good rows and zeros
// below, the report tells each loss in file order, and the exit status says loss (3), or 1 when
// an input could not be read at all.
TEST(Pqzconvert, SalvageWritesWhatSurvivesAndReportsTheRest) {
    test::TempDir dir;
    enc::PqzWriter w;
    w.imageBlock(raw(4, 3, 0x48, std::vector<uint8_t>(12, 5)));
    const size_t junkAt = w.bytes().size();
    std::vector<uint8_t> junk(40, 0x33);
    const uint8_t falseStart[] = {0x81, 0x8A, '2', '0', 0, 0, 0, 0};
    std::copy(std::begin(falseStart), std::end(falseStart), junk.begin() + 10);
    w.rawBytes(junk);
    w.imageBlock(raw(4, 3, 0x48, std::vector<uint8_t>(12, 6)));
    const size_t cutAt = w.bytes().size();
    std::vector<uint8_t> rows(24);
    for (size_t i = 0; i < rows.size(); i++) rows[i] = uint8_t(10 + i);
    w.imageBlock(raw(4, 6, 0x48, rows));
    std::vector<uint8_t> bytes = w.bytes();
    bytes.resize(bytes.size() - 24 + 2 * 4 + 1);  // two rows and a byte of the third remain
    const std::string in = test::writeTemp(dir, bytes, "x.pqz");
    const std::string json = dir.file("r.json");
    enc::PqzWriter inconsistent;  // data that is no coded stream, and a whole image behind it
    ImageBlock coded = raw(4, 4, 0x48, std::vector<uint8_t>(16, 0x5A));
    coded.flags = 0x24;
    inconsistent.imageBlock(coded);
    inconsistent.imageBlock(raw(1, 1, 0x48, {3}));

    ToolRun r = runConvert("--salvage -o " + quoted(dir.path()) + " --json " + quoted(json) + " " +
                           quoted(in) + " " + quoted(save(dir, "bad.pqz", inconsistent)));
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_TRUE(contains(
        r.out, dir.file("bad.pqz") + ": 1 image whole, 1 lost\n  image 0 at offset 0: lost: "))
        << r.out;
    EXPECT_LT(r.out.find("x.pqz:"), r.out.find("bad.pqz:")) << "input order";
    const std::string at = std::to_string(cutAt);
    for (const std::string& said :
         {in + ": 2 images whole, 1 partial; 40 bytes skipped in 1 range\n",
          "\n  bytes " + std::to_string(junkAt) + " to " + std::to_string(junkAt + 39) +
              " (40 bytes) skipped: ",
          "\n  image 2 at offset " + at + ": partial, 2 of 6 rows good (",
          "written as " + dir.file("x.2.partial.png") + "\n"})
        EXPECT_TRUE(contains(r.out, said)) << said << "\n" << r.out;
    EXPECT_LT(r.out.find("skipped"), r.out.find("partial, 2 of 6")) << "file order";
    EXPECT_EQ(enc::loadPng(dir.file("x.1.png"), true).pixels, std::vector<uint8_t>(12, 6));
    std::vector<uint8_t> partial(rows.begin(), rows.begin() + 8);
    partial.resize(24, 0);
    EXPECT_EQ(enc::loadPng(dir.file("x.2.partial.png"), true).pixels, partial);
    EXPECT_TRUE(enc::readFile(dir.file("x.2.png")).empty());

    const std::vector<uint8_t> jsonBytes = enc::readFile(json);
    const std::string report(jsonBytes.begin(), jsonBytes.end());
    for (const std::string& said :
         {std::string("\"lost_anything\": true"), std::string("\"images_partial\": 1"),
          std::string("\"bytes_skipped\": 40"), std::string("\"damage\": \"cut\""),
          std::string(
              "\"result\": \"lost\", \"good_rows\": 0, \"output\": null, \"damage\": \"data\""),
          "{\"image\": 2, \"offset\": " + at +
              ", \"width\": 4, \"height\": 6, \"result\": \"partial\", \"good_rows\": 2",
          "\"skipped\": [\n      {\"offset\": " + std::to_string(junkAt) + ", \"size\": 40"})
        EXPECT_TRUE(contains(report, said)) << said << "\n" << report;

    r = runConvert("--salvage -o " + quoted(dir.path()) + " " + quoted(in) + " " +
                   quoted(dir.file("missing.pqz")));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(contains(r.out, "missing.pqz: No such file or directory")) << r.out;
    EXPECT_TRUE(contains(r.out, in + ": 2 images whole, 1 partial")) << r.out;
}

}  // namespace
}  // namespace pqz
