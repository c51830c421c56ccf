// The binding against the simulator library and the modules of simulation.json (walk order).
using System;
using System.Diagnostics;
using System.Linq;
using System.Threading;
using Ksv;
using NUnit.Framework;

[TestFixture]
public class SimulatorTests
{
    static readonly string[] Mode0Serials = { "DN-PLUS", "DN-TWO", "DN-\u00b5", "DN-SILENT",
                                              "DN-ID5", "DN-SHORT", "DN-SLOW" };

    static byte[] Bytes(int count, byte value) => Enumerable.Repeat(value, count).ToArray();
    static byte[] Padded(params byte[] head) => head.Concat(new byte[63 - head.Length]).ToArray();

    [SetUp, TearDown]
    public void Mode0() => KsvHid.SetMode(0);

    [Test]
    public void VersionModesAndListing()
    {
        Assert.AreEqual(new Version(1, 3, 170), KsvHid.Version);
        CollectionAssert.AreEqual(Mode0Serials, KsvHid.ListModules().Where(s => s != "DN-GONE"));
        // The unreadable serial number is counted but not listed.
        Assert.AreEqual(KsvHid.ListModules().Count + 1, KsvHid.ModuleCount());
        KsvHid.SetMode(1);
        Assert.AreEqual(1, KsvHid.GetMode());
        CollectionAssert.AreEqual(new[] { "DN-L3" }, KsvHid.ListModules());
    }

    [TestCase(-1), TestCase(4), TestCase(int.MinValue)]
    public void ModeOutsideRangeSelectsMode0(int bad)
    {
        KsvHid.SetMode(1);
        Assert.Throws<ArgumentOutOfRangeException>(() => KsvHid.SetMode(bad));
        Assert.AreEqual(0, KsvHid.GetMode());
        Assert.Contains("DN-PLUS", KsvHid.ListModules().ToList()); // the library is in mode 0 too
    }

    public static readonly object[] Exchanges = {
        new object[] { 0, "DN-PLUS", new byte[] { 1, 2, 0xff }, Result.ReportId1,
                       new byte[] { 2, 3, 0 }.Concat(Bytes(60, 1)).ToArray() },
        new object[] { 0, "DN-TWO", new byte[0], Result.ReportId2, Padded() },
        new object[] { 0, "DN-\u00b5", Bytes(63, 0x0f), Result.ReportId1, Bytes(63, 0xf0) },
        new object[] { 1, "DN-L3", Bytes(20, 7), Result.ReportId3, Padded(Bytes(9, 7)) },
        new object[] { 0, "DN-ID5", new byte[] { 9 }, Result.OtherReportId, Padded(9) },
        new object[] { 0, "DN-SHORT", Bytes(63, 10), Result.WrongLength, Padded(Bytes(31, 10)) },
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
            Assert.AreEqual(result != Result.OtherReportId && result != Result.WrongLength, reply.Accepted);
        }
    }

    [Test]
    public void SilentModuleTimesOut()
    {
        using (Module module = KsvHid.Open("DN-SILENT"))
        {
            var watch = Stopwatch.StartNew();
            var timeout = Assert.Throws<ExchangeTimeoutException>(() => module.Exchange(new byte[] { 1 }));
            Assert.That(watch.Elapsed.TotalSeconds, Is.InRange(1.9, 5.0));
            Assert.AreEqual(Tuple.Create(-1, "TimedOut"), Tuple.Create(timeout.Code, timeout.Name));
        }
    }

    [Test]
    public void UnpluggedModuleFails()
    {
        using (Module module = KsvHid.Open("DN-GONE"))
        {
            Assert.AreEqual(Result.WrongLength, module.Exchange(new byte[] { 1 }).Result);
            var error = Assert.Throws<ExchangeException>(() => module.Exchange(new byte[] { 2 }));
            Assert.AreEqual(Tuple.Create(-255, "OtherError"), Tuple.Create(error.Code, error.Name));
            StringAssert.Contains("-255 (OtherError)", error.Message);
        }
    }

    [TestCase("DN-NONE"), TestCase("DN-KBD"), TestCase("DN-BUSY"), TestCase("DN-L3"), TestCase("dn-plus")]
    public void ModuleNotFound(string serial)
    {
        var error = Assert.Throws<ModuleNotFoundException>(() => KsvHid.Open(serial));
        StringAssert.Contains("absent", error.Message);
    }

    [Test]
    public void OpenModuleIsHeldAndSerialsAreBytes()
    {
        using (KsvHid.Open(new byte[] { (byte)'D', (byte)'N', (byte)'-', 0xb5 }))
        {
            Assert.Throws<ModuleNotFoundException>(() => KsvHid.Open("DN-\u00b5"));
            Assert.IsFalse(KsvHid.ListModules().Contains("DN-\u00b5"));
        }
        KsvHid.Open("DN-\u00b5").Dispose();
        Assert.Throws<ArgumentException>(() => KsvHid.Open("DN-\0"));
    }

    [Test]
    public void DisposedModuleAndLongCommand()
    {
        Module module = KsvHid.Open("DN-TWO");
        Assert.Throws<ArgumentException>(() => module.Exchange(new byte[64]));
        module.Dispose();
        module.Dispose();
        Assert.IsTrue(module.IsClosed);
        Assert.Throws<ObjectDisposedException>(() => module.Exchange(new byte[] { 1 }));
        KsvHid.Open("DN-TWO").Dispose(); // free again
    }

    [Test]
    public void TwoThreadsOnTwoModules()
    {
        // An exchange waiting on the slow module (1500 ms) must not hold up one on another module.
        using (Module slow = KsvHid.Open("DN-SLOW"), fast = KsvHid.Open("DN-PLUS"))
        {
            Reply slowReply = null;
            var thread = new Thread(() => slowReply = slow.Exchange(new byte[] { 5 }));
            thread.Start();
            Thread.Sleep(200);
            Assert.AreEqual(6, fast.Exchange(new byte[] { 5 }).Data[0]);
            Assert.IsTrue(thread.IsAlive, "the fast exchange waited for the slow one");
            thread.Join();
            CollectionAssert.AreEqual(Padded(5), slowReply.Data);
        }
    }
}
