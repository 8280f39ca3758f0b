<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>CommandLine</name>
    <message>
        <source>lmk-video: no display could be opened for the window (%1).
lmk-video --convert FILE... converts without one.
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>
Try &apos;lmk-video --help&apos;.
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 needs a value</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>unknown option %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: &apos;%2&apos; is less than %3.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 takes no value</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>--version takes no other argument</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 works only with --convert</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Usage: lmk-video [--width=TEXT] [--height=TEXT] [--] [FILE...]
       lmk-video --convert [--width=TEXT] [--height=TEXT] [--coder=PATH]
                 [--jobs=N] [--] FILE...
       lmk-video --help | --version

Re-encodes video files for portable devices. Each FILE is converted into
&quot;lmk-&quot; + its name beside it, its frame fitted to the target size (320 x 240
unless given) and its sound as MP3. An earlier &quot;lmk-&quot; file of that name is
replaced once the new one is whole.

Without --convert the window opens, the target in its boxes, and converts the
FILEs given, if any; Qt&apos;s own options (-platform NAME, -display X...) go to it.

  --convert      convert the FILEs without a window
  --width=TEXT   target width from 2 (decimal, or hexadecimal after $ or 0x)
  --height=TEXT  target height from 2
  --coder=PATH   the FFmpeg program to run (with --convert)
  --jobs=N       convert up to N files at once (0: one per processor); each
                 file&apos;s line is printed when it is done (with --convert)
  --             end the options: every argument after it is a FILE
  -h, --help     show this text
  --version      show the program&apos;s version
An option&apos;s value may also be the next argument: --width 480.

Ctrl+C stops, as do SIGTERM and SIGHUP (a closed terminal): the running
conversions are ended and their partial files deleted; files not yet started
are left alone.
Exit status: 0 all converted, 1 the job failed, 2 some conversions failed,
130 stopped, 64 a usage error (told in one line).
The language is Russian under a Russian or the C locale, English under any other:
LANGUAGE, LC_ALL, LC_MESSAGES and LANG choose it, as for other programs.

</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>no FILE to convert</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>an empty argument names no file</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>не удалось</source>
        <translation>failed</translation>
    </message>
    <message>
        <source>готово</source>
        <translation>done</translation>
    </message>
    <message>
        <source>остановлено</source>
        <translation>stopped</translation>
    </message>
</context>
<context>
    <name>Job</name>
    <message>
        <source>это не обычный файл, а канал, устройство или сокет</source>
        <translation>it is not a regular file but a pipe, a device or a socket</translation>
    </message>
    <message>
        <source>прерван сигналом %1</source>
        <translation>ended by signal %1</translation>
    </message>
    <message>
        <source>не удалось заменить прежний файл %1: %2</source>
        <translation>could not replace the earlier file %1: %2</translation>
    </message>
    <message>
        <source>кодеру не хватило памяти: ему разрешено не больше %1 МиБ</source>
        <translation>the coder ran out of memory: it may use no more than %1 MiB</translation>
    </message>
    <message>
        <source>Обрабатывается файл %1... </source>
        <translation>Converting file %1... </translation>
    </message>
    <message>
        <source>Задание прервано: %1</source>
        <translation>The job was cut short: %1</translation>
    </message>
    <message>
        <source>Не удалось сконвертировать файл %1: %2</source>
        <translation>Could not convert file %1: %2</translation>
    </message>
    <message>
        <source>в файле нет ни видео, ни звука</source>
        <translation>the file holds neither video nor sound</translation>
    </message>
    <message>
        <source>кодер ничего не сообщил о файле</source>
        <translation>the coder told nothing of the file</translation>
    </message>
    <message>
        <source>файл %1 уже записан из файла %2 этого задания</source>
        <translation>file %1 has already been written from file %2 of this job</translation>
    </message>
    <message>
        <source>не удалось создать файл %1: %2</source>
        <translation>could not create file %1: %2</translation>
    </message>
    <message>
        <source>пропал вывод кодера %1: %2</source>
        <translation>the coder&apos;s printout %1 is gone: %2</translation>
    </message>
    <message>
        <source>пропал записываемый файл %1: %2</source>
        <translation>the file being written, %1, is gone: %2</translation>
    </message>
    <message>
        <source>код завершения %1</source>
        <translation>exit code %1</translation>
    </message>
    <message>
        <source>не удалось сохранить вывод кодера в %1</source>
        <translation>could not keep the coder&apos;s printout in %1</translation>
    </message>
    <message>
        <source>кодер не читает записанный файл %1</source>
        <translation>the coder cannot read the written file %1</translation>
    </message>
    <message>
        <source>кодер не читает записанный файл %1: %2</source>
        <translation>the coder cannot read the written file %1: %2</translation>
    </message>
    <message>
        <source>в записанном файле %1 нет видео</source>
        <translation>the written file %1 holds no video</translation>
    </message>
    <message>
        <source>в записанном файле %1 нет звука</source>
        <translation>the written file %1 holds no sound</translation>
    </message>
    <message>
        <source>Готово!</source>
        <translation>Done!</translation>
    </message>
    <message>
        <source>в папке нет видео- и звуковых файлов</source>
        <translation>the folder holds no video or sound files</translation>
    </message>
    <message>
        <source>не удалось прочитать папку: %1</source>
        <translation>could not read the folder: %1</translation>
    </message>
    <message>
        <source>%1: «%2» — нужно целое число больше нуля</source>
        <translation>%1: “%2” — a whole number above zero is needed</translation>
    </message>
    <message>
        <source>ширина в «Размер видео»</source>
        <translation>width in “Video size”</translation>
    </message>
    <message>
        <source>высота в «Размер видео»</source>
        <translation>height in “Video size”</translation>
    </message>
    <message>
        <source>кодер не записал файл %1</source>
        <translation>the coder did not write file %1</translation>
    </message>
    <message>
        <source>кадр файла %1 неизвестного размера</source>
        <translation>the frame of file %1 is of unknown size</translation>
    </message>
    <message>
        <source>кадр файла %1 %2 вместо %3</source>
        <translation>the frame of file %1 is %2 instead of %3</translation>
    </message>
    <message>
        <source>пиксели файла %1 не квадратные (SAR %2:%3)</source>
        <translation>the pixels of file %1 are not square (SAR %2:%3)</translation>
    </message>
    <message>
        <source>сконвертировано %1 из %2</source>
        <translation>converted %1 of %2</translation>
    </message>
</context>
<context>
    <name>Sandbox</name>
    <message>
        <source>none in a sanitized build</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 MiB</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Sandbox: off (LMK_NO_SANDBOX=1): the coder runs with all your rights.
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Sandbox: bubblewrap&apos;s name spaces, a seccomp allow-list and a memory limit
(%1): the coder sees only the system&apos;s libraries, its input and
its output, no network and no other process, and what it starts ends with it.
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Sandbox: a seccomp allow-list and a memory limit (%1) only: no
sockets, nothing done to other processes; this system has neither bubblewrap&apos;s
name spaces nor Landlock, so the coder may read and write what you may.
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Sandbox: Landlock %1, a seccomp allow-list and a memory limit (%2): the
coder reads only the system&apos;s folders and its input, writes only its output, and
has no sockets and no TCP.
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Sandbox: Landlock %1, a seccomp allow-list and a memory limit (%2): the
coder reads only the system&apos;s folders and its input, writes only its output, and
has no sockets.
</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>TMainForm</name>
    <message>
        <source>ЛМК-Видео</source>
        <translation>LMK-Video</translation>
    </message>
    <message>
        <source>Размер видео:</source>
        <translation>Video size:</translation>
    </message>
    <message>
        <source>Выход</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>Останавливает конвертацию, а без неё закрывает окно</source>
        <translation>Stops the conversion, or closes the window when none runs</translation>
    </message>
    <message>
        <source>Журнал</source>
        <translation>Log</translation>
    </message>
    <message>
        <source>Ход конвертации. Перетащите сюда файлы или нажмите Ctrl+O</source>
        <translation>Conversion progress. Drop files here or press Ctrl+O</translation>
    </message>
    <message>
        <source>Перетащите сюда файлы, требующие конвертации.</source>
        <translation>Drop the files to convert here.</translation>
    </message>
    <message>
        <source>Ширина видео</source>
        <translation>Video width</translation>
    </message>
    <message>
        <source>Ширина кадра в точках</source>
        <translation>Frame width in pixels</translation>
    </message>
    <message>
        <source>Высота видео</source>
        <translation>Video height</translation>
    </message>
    <message>
        <source>Высота кадра в точках</source>
        <translation>Frame height in pixels</translation>
    </message>
    <message>
        <source>О программе</source>
        <translation>About</translation>
    </message>
    <message>
        <source>Показывает сведения о программе</source>
        <translation>Shows information about the program</translation>
    </message>
    <message>
        <source>О программе...</source>
        <translation>About...</translation>
    </message>
    <message>
        <source>Сконвертировано файлов: %1, не удалось: %2.</source>
        <translation>Files converted: %1, failed: %2.</translation>
    </message>
    <message>
        <source>Программа для пережимания<byte value="xd"/>видео в формат портативных устройств.<byte value="xd"/><byte value="xd"/>Сайт автора: %1</source>
        <translation>A program that re-encodes<byte value="xd"/>video for portable devices.<byte value="xd"/><byte value="xd"/>Author&apos;s site: %1</translation>
    </message>
    <message>
        <source>Файлы не приняты: кодер не может работать. %1</source>
        <translation>Files not taken: the coder cannot run. %1</translation>
    </message>
    <message>
        <source>это адрес, а не локальный файл</source>
        <translation>it is an address, not a local file</translation>
    </message>
</context>
<context>
    <name>lmk::TMainForm</name>
    <message>
        <source>Видеофайлы (%1);;Все файлы (*)</source>
        <translation>Video files (%1);;All files (*)</translation>
    </message>
    <message>
        <source>Выберите файлы для конвертации</source>
        <translation>Choose files to convert</translation>
    </message>
</context>
</TS>
