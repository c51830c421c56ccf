// Ksv.KsvHid: find and drive KSV measurement modules through the KSVHidApi library from .NET.
//
//     Console.WriteLine(KsvHid.Version);
//     foreach (string serial in KsvHid.ListModules()) Console.WriteLine(serial);
//     using (Module module = KsvHid.Open("KSV-SIM-0001"))
//     {
//         Reply reply = module.Exchange(new byte[] { 1, 2, 3 });
//     }
//
// One source file, C# 7.3, for .NET Framework 4.6.1 and later, .NET 6 and later, and Mono. The
// library is found by the runtime's native library search under the name "KSVHidApi":
// KSVHidApi.dll on Windows (the DLL must match the process: 64-bit or 32-bit), libKSVHidApi.so on
// Linux (KsvHid.dll.config maps it to libKSVHidApi.so.1 under Mono).

using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

namespace Ksv
{
    /// <summary>The result code of one exchange, as the library reports it.</summary>
    public enum Result
    {
        /// <summary>A reply with report ID 1.</summary>
        ReportId1 = 1,
        /// <summary>A reply with report ID 2.</summary>
        ReportId2 = 0,
        /// <summary>A reply with report ID 3 (mode 1 only).</summary>
        ReportId3 = 3,
        /// <summary>No reply within 2000 ms.</summary>
        TimedOut = -1,
        /// <summary>Waiting for the transfer failed.</summary>
        WaitFailed = -2,
        /// <summary>System error: invalid function.</summary>
        InvalidFunction = -3,
        /// <summary>System error: file not found.</summary>
        FileNotFound = -4,
        /// <summary>System error: path not found.</summary>
        PathNotFound = -5,
        /// <summary>System error: access denied.</summary>
        AccessDenied = -6,
        /// <summary>System error: invalid handle.</summary>
        InvalidHandle = -7,
        /// <summary>System error: not enough memory.</summary>
        NotEnoughMemory = -8,
        /// <summary>System error: out of memory.</summary>
        OutOfMemory = -9,
        /// <summary>System error: write protected.</summary>
        WriteProtect = -10,
        /// <summary>System error: write fault.</summary>
        WriteFault = -11,
        /// <summary>System error: read fault.</summary>
        ReadFault = -12,
        /// <summary>System error: invalid parameter.</summary>
        InvalidParameter = -13,
        /// <summary>System error: open failed.</summary>
        OpenFailed = -14,
        /// <summary>A reply with another report ID; its bytes are given.</summary>
        OtherReportId = -15,
        /// <summary>A reply of the wrong length; its bytes are given.</summary>
        WrongLength = -16,
        /// <summary>Any other failure.</summary>
        OtherError = -255,
    }

    /// <summary>What an exchange gave: the result and the 63 reply bytes.</summary>
    public sealed class Reply
    {
        internal Reply(Result result, byte[] data)
        {
            Result = result;
            this.data = data;
        }

        private readonly byte[] data;

        /// <summary>The result code.</summary>
        public Result Result { get; }

        /// <summary>The 63 reply bytes.</summary>
        public IReadOnlyList<byte> Data => data;

        /// <summary>A copy of the 63 reply bytes.</summary>
        public byte[] ToArray() => (byte[])data.Clone();

        /// <summary>True for a reply with report ID 1, 2 or (mode 1) 3.</summary>
        public bool Accepted =>
            Result == Result.ReportId1 || Result == Result.ReportId2 || Result == Result.ReportId3;
    }

    /// <summary>An exchange ended without a reply (any negative result but a time-out).</summary>
    public class ExchangeException : IOException
    {
        /// <summary>Makes the exception for the library's result <paramref name="code"/>.</summary>
        public ExchangeException(int code)
            : base(KsvHid.Describe(code))
        {
            Code = code;
        }

        /// <summary>The library's result code.</summary>
        public int Code { get; }

        /// <summary>The name of the result code, or "Unknown".</summary>
        public string Name => KsvHid.NameOf(Code);
    }

    /// <summary>No reply within the library's 2000 ms (result -1).</summary>
    public class ExchangeTimeoutException : TimeoutException
    {
        /// <summary>Makes the exception for result -1.</summary>
        public ExchangeTimeoutException()
            : base(KsvHid.Describe((int)Result.TimedOut))
        {
        }

        /// <summary>The library's result code, -1.</summary>
        public int Code => (int)Result.TimedOut;

        /// <summary>The name of the result code, "TimedOut".</summary>
        public string Name => KsvHid.NameOf(Code);
    }

    /// <summary>No free module has the serial number: it is absent, or held open by another
    /// program (or by this one).</summary>
    public class ModuleNotFoundException : KeyNotFoundException
    {
        /// <summary>Makes the exception for <paramref name="serial"/>.</summary>
        public ModuleNotFoundException(string serial)
            : base("no module with serial number \"" + serial + "\" could be opened: it is " +
                   "absent, or held open by another program (or by this one)")
        {
            Serial = serial;
        }

        /// <summary>The serial number asked for.</summary>
        public string Serial { get; }
    }

    /// <summary>A module handle of the library; null and all-ones mean "no module".</summary>
    public sealed class ModuleHandle : SafeHandle
    {
        /// <summary>Makes an empty handle (the runtime fills it in on return from the library).</summary>
        public ModuleHandle()
            : base(IntPtr.Zero, true)
        {
        }

        /// <inheritdoc/>
        public override bool IsInvalid => handle == IntPtr.Zero || handle == new IntPtr(-1);

        /// <inheritdoc/>
        protected override bool ReleaseHandle() => Native.CloseKestrovanHID(handle) == 1;
    }

    /// <summary>One module, opened by serial number for exclusive use. Dispose it, or use
    /// <c>using</c>.</summary>
    /// <remarks>Exchanges on one module run one at a time: a lock serialises threads that share
    /// the object. Different modules have no lock in common.</remarks>
    public sealed class Module : IDisposable
    {
        private readonly ModuleHandle handle;
        private readonly object exchangeLock = new object();

        internal Module(string serial, ModuleHandle handle)
        {
            Serial = serial;
            this.handle = handle;
        }

        /// <summary>The serial number the module was opened with.</summary>
        public string Serial { get; }

        /// <summary>True once the module is disposed.</summary>
        public bool IsClosed => handle.IsClosed;

        /// <summary>Sends <paramref name="command"/> (up to 63 bytes, zero-padded) and waits for
        /// the reply.</summary>
        /// <returns>The reply for report IDs 1, 2 and 3, and also for a reply with another report
        /// ID (<see cref="Result.OtherReportId"/>) or of the wrong length
        /// (<see cref="Result.WrongLength"/>), whose bytes may still be of use.</returns>
        /// <exception cref="ExchangeTimeoutException">No reply came within 2000 ms.</exception>
        /// <exception cref="ExchangeException">The exchange failed otherwise.</exception>
        /// <exception cref="ArgumentException">The command is longer than 63 bytes.</exception>
        /// <exception cref="ObjectDisposedException">The module is closed.</exception>
        public Reply Exchange(byte[] command)
        {
            if (command == null)
                throw new ArgumentNullException(nameof(command));
            if (command.Length > KsvHid.CommandBytes)
                throw new ArgumentException(
                    "command of " + command.Length + " bytes; at most " + KsvHid.CommandBytes +
                        " fit",
                    nameof(command));
            var request = new byte[KsvHid.CommandBytes];
            Buffer.BlockCopy(command, 0, request, 0, command.Length);
            var reply = new byte[KsvHid.ReplyBytes];
            int code;
            lock (exchangeLock)
            {
                if (handle.IsClosed)
                    throw new ObjectDisposedException(nameof(Module), "exchange on a closed module");
                code = Native.SendReceiveKestrovanHID(handle, request, reply);
            }
            switch ((Result)code)
            {
            case Result.ReportId1:
            case Result.ReportId2:
            case Result.ReportId3:
            case Result.OtherReportId:
            case Result.WrongLength:
                return new Reply((Result)code, reply);
            case Result.TimedOut:
                throw new ExchangeTimeoutException();
            default:
                throw new ExchangeException(code);
            }
        }

        /// <summary>Closes the module, after an exchange running on another thread; again does
        /// nothing.</summary>
        public void Dispose()
        {
            lock (exchangeLock)
                handle.Dispose();
        }

        /// <inheritdoc/>
        public override string ToString() =>
            "Module \"" + Serial + "\" " + (IsClosed ? "closed" : "open");
    }

    /// <summary>The library's seven functions as a typed API.</summary>
    public static class KsvHid
    {
        /// <summary>Bytes of a command; a shorter one is zero-padded.</summary>
        public const int CommandBytes = 63;

        /// <summary>Bytes of a reply.</summary>
        public const int ReplyBytes = 63;

        private const int SerialBufferBytes = 256;
        private const int ModeCount = 4;

        // The library keeps its mode as one process-wide value and offers no call that reads it;
        // the mode last selected through this class is remembered here (0 at first, as the
        // library starts in mode 0).
        private static readonly object modeLock = new object();
        private static int mode;

        /// <summary>The library's version, 1.3.170.</summary>
        public static Version Version
        {
            get
            {
                Native.GetKestrovanHIDversion(out int major, out int minor, out int build);
                return new Version(major, minor, build);
            }
        }

        /// <summary>Selects the module mode (0..3) for the whole process.</summary>
        /// <exception cref="ArgumentOutOfRangeException">Any other value; mode 0 is then selected,
        /// as the library does.</exception>
        public static void SetMode(int value)
        {
            lock (modeLock)
            {
                bool accepted = Native.SetModuleMode(value) == 1;
                mode = accepted ? value : 0;
                if (!accepted)
                    throw new ArgumentOutOfRangeException(
                        nameof(value), value, "mode is one of 0, 1, 2, 3; mode 0 is selected");
            }
        }

        /// <summary>The module mode last selected through this class (0 until then).</summary>
        public static int GetMode()
        {
            lock (modeLock)
                return mode;
        }

        /// <summary>The number of modules attached and free, including any whose serial number
        /// cannot be read.</summary>
        public static int ModuleCount() => Native.GetKestrovanHIDnumber();

        /// <summary>The serial numbers of the free modules, in walk order.</summary>
        /// <remarks>Each byte of the library's serial number text is one character (Latin-1), so
        /// that every serial number given here opens with <see cref="Open(string)"/>. Modules
        /// whose serial number cannot be read are left out: they cannot be opened either.</remarks>
        public static IReadOnlyList<string> ListModules()
        {
            var serials = new List<string>();
            var buffer = new byte[SerialBufferBytes];
            int count = Native.GetKestrovanHIDnumber();
            for (int ordinal = 0; ordinal < count; ++ordinal)
            {
                if (Native.GetKestrovanHIDName(ordinal, buffer) != 1)
                    continue;
                int length = Array.IndexOf(buffer, (byte)0);
                serials.Add(FromText(buffer, length < 0 ? buffer.Length : length));
            }
            return serials;
        }

        /// <summary>Opens the first free module with this serial number.</summary>
        /// <remarks>Each character becomes the low byte of its UTF-16 unit, the way the library
        /// turns a device's serial number into text: so the text a device reports, and what
        /// <see cref="ListModules"/> gave, both open it.</remarks>
        /// <exception cref="ModuleNotFoundException">No free module has it.</exception>
        /// <exception cref="ArgumentException">The serial number holds a zero character.</exception>
        public static Module Open(string serial)
        {
            if (serial == null)
                throw new ArgumentNullException(nameof(serial));
            var text = new byte[serial.Length];
            for (int i = 0; i < serial.Length; ++i)
                text[i] = unchecked((byte)serial[i]);
            return Open(text, serial);
        }

        /// <summary>Opens the first free module whose serial number text is these bytes.</summary>
        /// <exception cref="ModuleNotFoundException">No free module has it.</exception>
        /// <exception cref="ArgumentException">The serial number holds a zero byte.</exception>
        public static Module Open(byte[] serial)
        {
            if (serial == null)
                throw new ArgumentNullException(nameof(serial));
            return Open(serial, FromText(serial, serial.Length));
        }

        private static Module Open(byte[] text, string serial)
        {
            if (Array.IndexOf(text, (byte)0) >= 0)
                throw new ArgumentException("serial number with a zero byte", nameof(serial));
            var terminated = new byte[text.Length + 1];
            Buffer.BlockCopy(text, 0, terminated, 0, text.Length);
            ModuleHandle handle;
            if (Native.OpenKestrovanHID(out handle, terminated) != 1 || handle.IsInvalid)
            {
                handle.SetHandleAsInvalid();
                throw new ModuleNotFoundException(serial);
            }
            return new Module(serial, handle);
        }

        /// <summary>Events for the modules of a mode (0..3) as they arrive and leave, the present
        /// ones first, through the companion library KSVHidWatch.</summary>
        public static Watch Watch(int mode = 0) => new Watch(mode);

        /// <summary>Every HID interface present, in walk order: whether the walk takes it for a
        /// module in a mode (0..3) and, when it is not listed, why, as ksvhid diagnose shows it,
        /// through the companion library KSVHidDiagnose. The library's own mode is left as it
        /// is.</summary>
        public static IReadOnlyList<InterfaceReport> Diagnose(int mode = 0)
        {
            int result = NativeDiagnose.KSVHidDiagnose(mode, out IntPtr made);
            if (result == -1)
                throw new ArgumentOutOfRangeException(nameof(mode), "mode must be 0, 1, 2 or 3");
            if (result != 1)
                throw new IOException("cannot list the HID interfaces (" + result + ")");
            try
            {
                var diagnosis = Marshal.PtrToStructure<NativeDiagnosis>(made);
                int size = Marshal.SizeOf<NativeInterfaceReport>();
                var reports = new List<InterfaceReport>((int)diagnosis.InterfaceCount);
                for (int i = 0; i < diagnosis.InterfaceCount; ++i)
                    reports.Add(new InterfaceReport(Marshal.PtrToStructure<NativeInterfaceReport>(
                        diagnosis.Interfaces + i * size)));
                return reports;
            }
            finally
            {
                NativeDiagnose.KSVHidDiagnosisFree(made);
            }
        }

        internal static string FromText(byte[] text, int length)
        {
            var builder = new StringBuilder(length);
            for (int i = 0; i < length; ++i)
                builder.Append((char)text[i]);
            return builder.ToString();
        }

        internal static string NameOf(int code) =>
            Enum.IsDefined(typeof(Result), code) ? ((Result)code).ToString() : "Unknown";

        internal static string Describe(int code) =>
            "exchange failed with " + code + " (" + NameOf(code) + ")";
    }

    /// <summary>One HID interface as the walk sees it in the mode asked for.</summary>
    public sealed class InterfaceReport
    {
        // The reasons' keys, by their number in KSVHidDiagnose.h (ksvhid diagnose --json's).
        private static readonly string[] Reasons = {
            null, "serial_unreadable", "other_ids", "ids_unreadable", "access_denied", "in_use",
            "open_refused", "busy_a_moment_ago", "path_unreadable", "path_too_long",
            "past_interface_64" };

        internal InterfaceReport(NativeInterfaceReport r)
        {
            Index = (int)r.Index;
            Path = Utf8At(r.Path);
            VendorId = r.IdsKnown != 0 ? r.VendorId : (ushort?)null;
            ProductId = r.IdsKnown != 0 ? r.ProductId : (ushort?)null;
            Serial = r.SerialKnown != 0 ? KsvHid.FromText(r.Serial, Array.IndexOf(r.Serial, (byte)0))
                                        : null;
            IsModule = r.Module != 0;
            Reason = r.Reason > 0 && r.Reason < Reasons.Length ? Reasons[r.Reason] : null;
            Error = r.OpenError;
            HolderPid = r.HolderPid > 0 ? r.HolderPid : (int?)null;
            HolderCommand = Utf8At(r.HolderCommand);
        }

        /// <summary>Walk order, from 0.</summary>
        public int Index { get; }
        /// <summary>The device path; empty when it cannot be read.</summary>
        public string Path { get; }
        /// <summary>The USB vendor ID; null when the IDs cannot be had.</summary>
        public ushort? VendorId { get; }
        /// <summary>The USB product ID; null when the IDs cannot be had.</summary>
        public ushort? ProductId { get; }
        /// <summary>The serial number text as ListModules gives it; null when unreadable.</summary>
        public string Serial { get; }
        /// <summary>Whether the walk counts it as a module in this mode.</summary>
        public bool IsModule { get; }
        /// <summary>Why it is not listed ("other_ids", "in_use", ...); null when it is.</summary>
        public string Reason { get; }
        /// <summary>The system's error for a refused open (Windows numbering), else 0.</summary>
        public uint Error { get; }
        /// <summary>For "in_use": the process that holds it, where the system says.</summary>
        public int? HolderPid { get; }
        /// <summary>Its command line or name; empty when unknown.</summary>
        public string HolderCommand { get; }

        private static string Utf8At(IntPtr text)
        {
            if (text == IntPtr.Zero)
                return "";
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0)
                ++length;
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.UTF8.GetString(bytes);
        }
    }

    /// <summary>Whether a module arrived or left.</summary>
    public enum WatchEventKind
    {
        /// <summary>The module arrived (or was present when the watch opened).</summary>
        Arrived = 1,
        /// <summary>The module left.</summary>
        Left = 2,
    }

    /// <summary>One module that arrived or left; for Left, what it arrived with.</summary>
    public sealed class WatchEvent
    {
        internal WatchEvent(NativeWatchEvent e)
        {
            Kind = (WatchEventKind)e.Kind;
            VendorId = e.VendorId;
            ProductId = e.ProductId;
            Serial = KsvHid.FromText(e.Serial, Array.IndexOf(e.Serial, (byte)0));
            Free = e.Free == 1 ? true : e.Free == 0 ? (bool?)false : null;
        }

        /// <summary>Arrived or left.</summary>
        public WatchEventKind Kind { get; }
        /// <summary>The USB vendor ID.</summary>
        public ushort VendorId { get; }
        /// <summary>The USB product ID.</summary>
        public ushort ProductId { get; }
        /// <summary>The serial number text, one char per byte as ListModules gives it.</summary>
        public string Serial { get; }
        /// <summary>Free when it arrived; null where the system cannot tell (Windows).</summary>
        public bool? Free { get; }
    }

    /// <summary>A watch: enumerate it (it blocks until the next event and ends when the watch is
    /// closed), or call Next. Dispose may come from another thread and ends a wait there.</summary>
    public sealed class Watch : IEnumerable<WatchEvent>, IDisposable
    {
        private const int Closed = -3;
        private const int WaitSliceMs = 250;
        private IntPtr handle;

        internal Watch(int mode)
        {
            int result = NativeWatch.KSVHidWatchOpen(mode, out handle);
            if (result == -1)
                throw new ArgumentOutOfRangeException(nameof(mode), "mode must be 0, 1, 2 or 3");
            if (result != 1)
                throw new IOException("cannot watch for modules (" + result + ")");
        }

        /// <summary>"netlink", "RegisterDeviceNotification" or "poll".</summary>
        public string Method => Marshal.PtrToStringAnsi(NativeWatch.KSVHidWatchMethod(handle));

        /// <summary>The next event, or null when `timeoutMs` passed (negative: no limit).</summary>
        public WatchEvent Next(int timeoutMs)
        {
            int result = NativeWatch.KSVHidWatchNext(handle, timeoutMs, out NativeWatchEvent e);
            if (result < 0)
                throw new ObjectDisposedException(nameof(Watch), "the watch ended (" + result + ")");
            return result == 1 ? new WatchEvent(e) : null;
        }

        /// <summary>Blocks until the next event; ends when the watch is closed.</summary>
        public IEnumerator<WatchEvent> GetEnumerator()
        {
            for (;;)
            {
                int result = NativeWatch.KSVHidWatchNext(handle, WaitSliceMs, out NativeWatchEvent e);
                if (result == Closed)
                    yield break;
                if (result < 0)
                    throw new IOException("the watch failed (" + result + ")");
                if (result == 1)
                    yield return new WatchEvent(e);
            }
        }

        System.Collections.IEnumerator System.Collections.IEnumerable.GetEnumerator() => GetEnumerator();

        /// <summary>Closes the watch; an enumeration or Next waiting on another thread ends.</summary>
        public void Dispose()
        {
            // The library's handle names the watch in a table, so a call after Close is harmless.
            NativeWatch.KSVHidWatchClose(handle);
        }
    }

    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeWatchEvent
    {
        public int Kind;
        public int Free;
        public ushort VendorId;
        public ushort ProductId;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 256)]
        public byte[] Serial;
    }

    internal static class NativeWatch
    {
        private const string Library = "KSVHidWatch";

        [DllImport(Library)]
        internal static extern int KSVHidWatchOpen(int mode, out IntPtr watch);

        [DllImport(Library)]
        internal static extern int KSVHidWatchNext(IntPtr watch, int timeoutMs, out NativeWatchEvent e);

        [DllImport(Library)]
        internal static extern int KSVHidWatchClose(IntPtr watch);

        [DllImport(Library)]
        internal static extern IntPtr KSVHidWatchMethod(IntPtr watch);
    }

    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeInterfaceReport
    {
        public uint Index;
        public IntPtr Path;
        public int IdsKnown;
        public ushort VendorId;
        public ushort ProductId;
        public int SerialKnown;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 256)]
        public byte[] Serial;
        public int Module;
        public int Reason;
        public uint OpenError;
        public int HolderPid;
        public IntPtr HolderCommand;
    }

    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeDiagnosis
    {
        public int Mode;
        public uint WantedCount;
        public ushort WantedVendor0, WantedVendor1;
        public ushort WantedProduct0, WantedProduct1;
        public uint IndexBound;
        public uint PathUnitsLimit;
        public uint ModuleCount;
        public uint InterfaceCount;
        public IntPtr Interfaces;
    }

    internal static class NativeDiagnose
    {
        private const string Library = "KSVHidDiagnose";

        [DllImport(Library)]
        internal static extern int KSVHidDiagnose(int mode, out IntPtr diagnosis);

        [DllImport(Library)]
        internal static extern int KSVHidDiagnosisFree(IntPtr diagnosis);
    }

    internal static class Native
    {
        // The platform's default calling convention: stdcall on 32-bit Windows, as the library
        // declares its functions there, and the C convention elsewhere.
        private const string Library = "KSVHidApi";

        [DllImport(Library)]
        internal static extern int GetKestrovanHIDnumber();

        [DllImport(Library)]
        internal static extern int GetKestrovanHIDName(int ordinal, [Out] byte[] serial);

        [DllImport(Library)]
        internal static extern int OpenKestrovanHID(out ModuleHandle handle, byte[] serial);

        [DllImport(Library)]
        internal static extern int SendReceiveKestrovanHID(ModuleHandle handle, byte[] command,
                                                          [Out] byte[] reply);

        [DllImport(Library)]
        internal static extern int CloseKestrovanHID(IntPtr handle);

        [DllImport(Library)]
        internal static extern int GetKestrovanHIDversion(out int major, out int minor,
                                                         out int build);

        [DllImport(Library)]
        internal static extern int SetModuleMode(int mode);
    }
}
