// The binding against the simulator library and the modules of the Python suite's simulation file
// (bindings/python/tests/simulation.json).
using System;
using System.Diagnostics;
using System.Linq;
using System.Threading;
using Ksv;
using NUnit.Framework;

[TestFixture]
public class SimulatorTests
{
    static byte[] Bytes(int count, byte value) => Enumerable.Repeat(value, count).ToArray();
    static byte[] Padded(params byte[] head) => head.Concat(new byte[63 - head.Length]).ToArray();
    static byte[] Command(params byte[] bytes) => bytes;

    [SetUp, TearDown]
    public void Mode0() => KsvHid.SetMode(0);

    [Test]
    public void VersionAndListing()
    {
        Assert.AreEqual(new Version(1, 3, 170), KsvHid.Version);
        // The keyboard, the busy module and the unreadable serial number are not listed; the
        // unreadable one is counted. Each byte of a serial number is one character.
        CollectionAssert.AreEqual(new[] { "PY-PLUS", "PY-TWO", "PY-\u00b5", "PY-SILENT", "PY-ID5",
                                          "PY-SHORT", "PY-SLOW", "PY-SHARED" },
                                  KsvHid.ListModules().Where(serial => serial != "PY-GONE"));
        Assert.AreEqual(KsvHid.ListModules().Count + 1, KsvHid.ModuleCount());
    }

    [Test]
    public void DiagnoseGivesEachInterfaceAndWhy()
    {
        var reports = KsvHid.Diagnose(3);
        CollectionAssert.AreEqual(Enumerable.Range(0, reports.Count), reports.Select(r => r.Index));
        CollectionAssert.AreEqual(new[] { "PY-TWO", "PY-SHARED" },
                                  reports.Where(r => r.IsModule).Select(r => r.Serial));
        Assert.AreEqual((ushort?)0x1209, reports[0].VendorId);
        Assert.AreEqual("PY-KBD", reports[0].Serial);
        Assert.AreEqual("other_ids", reports[0].Reason);
        Assert.AreEqual(0, KsvHid.GetMode()); // the library's own mode is left as it is
        Assert.Throws<ArgumentOutOfRangeException>(() => KsvHid.Diagnose(4));
    }

    [TestCase(-1), TestCase(4), TestCase(int.MinValue)]
    public void ModeOutsideRangeSelectsMode0(int bad)
    {
        KsvHid.SetMode(1);
        CollectionAssert.AreEqual(new[] { "PY-L3" }, KsvHid.ListModules());
        Assert.Throws<ArgumentOutOfRangeException>(() => KsvHid.SetMode(bad));
        Assert.AreEqual(0, KsvHid.GetMode());
        Assert.Contains("PY-PLUS", KsvHid.ListModules().ToList()); // the library is in mode 0 too
    }

    public static readonly object[] Exchanges = {
        new object[] { 0, "PY-PLUS", Command(1, 2, 0xff), Result.ReportId1,
                       Command(2, 3, 0).Concat(Bytes(60, 1)).ToArray() },
        new object[] { 0, "PY-TWO", new byte[0], Result.ReportId2, Padded() },
        new object[] { 0, "PY-\u00b5", Bytes(63, 0x0f), Result.ReportId1, Bytes(63, 0xf0) },
        new object[] { 1, "PY-L3", Bytes(20, 7), Result.ReportId3, Padded(Bytes(9, 7)) },
        new object[] { 0, "PY-ID5", Command(9), Result.OtherReportId, Padded(9) },
        new object[] { 0, "PY-SHORT", Bytes(63, 10), Result.WrongLength, Padded(Bytes(31, 10)) },
    };

    [TestCaseSource("Exchanges")]
    public void ExchangeResults(int mode, string serial, byte[] command, Result result, byte[] data)
    {
        KsvHid.SetMode(mode);
        using (Module module = KsvHid.Open(serial))
        {
            Reply reply = module.Exchange(command);
            Assert.AreEqual(result, reply.Result);
            CollectionAssert.AreEqual(data, reply.Data);
            Assert.AreEqual(result >= 0, reply.Accepted);
        }
    }

    [Test]
    public void TimeOutAndFailure()
    {
        using (Module silent = KsvHid.Open("PY-SILENT"), gone = KsvHid.Open("PY-GONE"))
        {
            var watch = Stopwatch.StartNew();
            var timeout = Assert.Throws<ExchangeTimeoutException>(() => silent.Exchange(Command(1)));
            Assert.That(watch.Elapsed.TotalSeconds, Is.InRange(1.9, 5.0));
            Assert.AreEqual(Tuple.Create(-1, "TimedOut"), Tuple.Create(timeout.Code, timeout.Name));
            // PY-GONE leaves during its second exchange: that one and every later one give -255.
            Assert.AreEqual(Result.ReportId1, gone.Exchange(Command(1)).Result);
            foreach (byte command in new byte[] { 2, 3 })
            {
                var error = Assert.Throws<ExchangeException>(() => gone.Exchange(Command(command)));
                Assert.AreEqual(Tuple.Create(-255, "OtherError"), Tuple.Create(error.Code, error.Name));
                StringAssert.Contains("-255 (OtherError)", error.Message);
            }
        }
    }

    [TestCase("PY-NONE"), TestCase("PY-KBD"), TestCase("PY-BUSY"), TestCase("PY-L3"), TestCase("py-plus")]
    public void ModuleNotFound(string serial)
    {
        StringAssert.Contains("absent", Assert.Throws<ModuleNotFoundException>(() => KsvHid.Open(serial)).Message);
    }

    [Test]
    public void HeldDisposedAndLongCommand()
    {
        Module module = KsvHid.Open(new byte[] { (byte)'P', (byte)'Y', (byte)'-', 0xb5 });
        Assert.Throws<ModuleNotFoundException>(() => KsvHid.Open("PY-\u00b5"));
        Assert.IsFalse(KsvHid.ListModules().Contains("PY-\u00b5"));
        Assert.Throws<ArgumentException>(() => module.Exchange(new byte[64]));
        module.Dispose();
        module.Dispose();
        Assert.Throws<ObjectDisposedException>(() => module.Exchange(Command(1)));
        KsvHid.Open("PY-\u00b5").Dispose(); // free again
        Assert.Throws<ArgumentException>(() => KsvHid.Open("PY-\0"));
    }

    [Test]
    public void TwoThreadsOnTwoModules()
    {
        // An exchange waiting on the slow module (1500 ms) must not hold up one on another module.
        using (Module slow = KsvHid.Open("PY-SLOW"), fast = KsvHid.Open("PY-PLUS"))
        {
            Reply slowReply = null;
            var thread = new Thread(() => slowReply = slow.Exchange(Command(5)));
            thread.Start();
            Thread.Sleep(200);
            Assert.AreEqual(6, fast.Exchange(Command(5)).Data[0]);
            Assert.IsTrue(thread.IsAlive, "the fast exchange waited for the slow one");
            thread.Join();
            CollectionAssert.AreEqual(Padded(5), slowReply.Data);
        }
    }
}
