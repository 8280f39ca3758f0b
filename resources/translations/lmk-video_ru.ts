<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru">
<context>
    <name>CommandLine</name>
    <message>
        <source>lmk-video: no display could be opened for the window (%1).
lmk-video --convert FILE... converts without one.
</source>
        <translation>lmk-video: не удалось открыть экран для окна (%1).
lmk-video --convert ФАЙЛ... конвертирует без него.
</translation>
    </message>
    <message>
        <source>
Try &apos;lmk-video --help&apos;.
</source>
        <translation>
См. &apos;lmk-video --help&apos;.
</translation>
    </message>
    <message>
        <source>%1 needs a value</source>
        <translation>%1: нужно значение</translation>
    </message>
    <message>
        <source>unknown option %1</source>
        <translation>неизвестный параметр %1</translation>
    </message>
    <message>
        <source>%1: &apos;%2&apos; is less than %3.</source>
        <translation>%1: «%2» меньше %3.</translation>
    </message>
    <message>
        <source>%1 takes no value</source>
        <translation>%1: значение не принимается</translation>
    </message>
    <message>
        <source>--version takes no other argument</source>
        <translation>--version не принимает других аргументов</translation>
    </message>
    <message>
        <source>%1 works only with --convert</source>
        <translation>%1 работает только с --convert</translation>
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
        <translation>Использование: lmk-video [--width=ТЕКСТ] [--height=ТЕКСТ] [--] [ФАЙЛ...]
       lmk-video --convert [--width=ТЕКСТ] [--height=ТЕКСТ] [--coder=ПУТЬ]
                 [--jobs=N] [--] ФАЙЛ...
       lmk-video --help | --version

Пережимает видеофайлы в формат портативных устройств. Каждый ФАЙЛ конвертируется
в файл &quot;lmk-&quot; + его имя рядом с ним: кадр вписывается в заданный размер (320 x 240,
если не задан другой), звук в MP3. Прежний файл &quot;lmk-&quot; с тем же именем заменяется,
когда новый записан целиком.

Без --convert открывается окно с размером в его полях и конвертирует данные
ФАЙЛЫ, если они есть; параметры Qt (-platform ИМЯ, -display X...) передаются ему.

  --convert      конвертировать ФАЙЛЫ без окна
  --width=ТЕКСТ  ширина кадра, от 2 (десятичное, или шестнадцатеричное после $ или 0x)
  --height=ТЕКСТ высота кадра, от 2
  --coder=ПУТЬ   программа FFmpeg, которую запускать (с --convert)
  --jobs=N       конвертировать до N файлов сразу (0: по одному на процессор); строка
                 каждого файла выводится, когда он готов (с --convert)
  --             конец параметров: каждый аргумент после него — ФАЙЛ
  -h, --help     показать этот текст
  --version      показать версию программы
Значение параметра может быть и следующим аргументом: --width 480.

Ctrl+C останавливает работу, как и SIGTERM и SIGHUP (закрытый терминал): идущие
конвертации завершаются, а их недописанные файлы удаляются; ещё не начатые файлы
остаются нетронутыми.
Код завершения: 0 всё сконвертировано, 1 задание не удалось, 2 часть файлов не
удалось сконвертировать, 130 остановлено, 64 ошибка в аргументах (в одной строке).
Язык — русский при русской локали и при локали C, английский при любой другой:
его выбирают LANGUAGE, LC_ALL, LC_MESSAGES и LANG, как и для других программ.

</translation>
    </message>
    <message>
        <source>no FILE to convert</source>
        <translation>нет ФАЙЛА для конвертации</translation>
    </message>
    <message>
        <source>an empty argument names no file</source>
        <translation>пустой аргумент не называет файла</translation>
    </message>
    <message>
        <source>не удалось</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>готово</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>остановлено</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Job</name>
    <message>
        <source>это не обычный файл, а канал, устройство или сокет</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>прерван сигналом %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>не удалось заменить прежний файл %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>кодеру не хватило памяти: ему разрешено не больше %1 МиБ</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Обрабатывается файл %1... </source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Задание прервано: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Не удалось сконвертировать файл %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>в файле нет ни видео, ни звука</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>кодер ничего не сообщил о файле</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>файл %1 уже записан из файла %2 этого задания</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>не удалось создать файл %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>пропал вывод кодера %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>пропал записываемый файл %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>код завершения %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>не удалось сохранить вывод кодера в %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>кодер не читает записанный файл %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>кодер не читает записанный файл %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>в записанном файле %1 нет видео</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>в записанном файле %1 нет звука</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Готово!</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>в папке нет видео- и звуковых файлов</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>не удалось прочитать папку: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: «%2» — нужно целое число больше нуля</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>ширина в «Размер видео»</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>высота в «Размер видео»</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>кодер не записал файл %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>кадр файла %1 неизвестного размера</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>кадр файла %1 %2 вместо %3</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>пиксели файла %1 не квадратные (SAR %2:%3)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>сконвертировано %1 из %2</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Sandbox</name>
    <message>
        <source>none in a sanitized build</source>
        <translation>нет в сборке с санитайзером</translation>
    </message>
    <message>
        <source>%1 MiB</source>
        <translation>%1 МиБ</translation>
    </message>
    <message>
        <source>Sandbox: off (LMK_NO_SANDBOX=1): the coder runs with all your rights.
</source>
        <translation>Песочница: выключена (LMK_NO_SANDBOX=1): кодер работает со всеми вашими правами.
</translation>
    </message>
    <message>
        <source>Sandbox: bubblewrap&apos;s name spaces, a seccomp allow-list and a memory limit
(%1): the coder sees only the system&apos;s libraries, its input and
its output, no network and no other process, and what it starts ends with it.
</source>
        <translation>Песочница: пространства имён bubblewrap, список разрешённых вызовов seccomp и предел
памяти (%1): кодер видит только библиотеки системы, свой входной и
выходной файлы, ни сети, ни других процессов, и всё, что он запустил, завершается с ним.
</translation>
    </message>
    <message>
        <source>Sandbox: a seccomp allow-list and a memory limit (%1) only: no
sockets, nothing done to other processes; this system has neither bubblewrap&apos;s
name spaces nor Landlock, so the coder may read and write what you may.
</source>
        <translation>Песочница: только список разрешённых вызовов seccomp и предел памяти (%1): ни
сокетов, ни действий над другими процессами; в этой системе нет ни пространств имён
bubblewrap, ни Landlock, так что кодер может читать и писать всё, что можете вы.
</translation>
    </message>
    <message>
        <source>Sandbox: Landlock %1, a seccomp allow-list and a memory limit (%2): the
coder reads only the system&apos;s folders and its input, writes only its output, and
has no sockets and no TCP.
</source>
        <translation>Песочница: Landlock %1, список разрешённых вызовов seccomp и предел памяти (%2):
кодер читает только папки системы и свой входной файл, пишет только выходной,
и у него нет ни сокетов, ни TCP.
</translation>
    </message>
    <message>
        <source>Sandbox: Landlock %1, a seccomp allow-list and a memory limit (%2): the
coder reads only the system&apos;s folders and its input, writes only its output, and
has no sockets.
</source>
        <translation>Песочница: Landlock %1, список разрешённых вызовов seccomp и предел памяти (%2):
кодер читает только папки системы и свой входной файл, пишет только выходной,
и у него нет сокетов.
</translation>
    </message>
</context>
<context>
    <name>TMainForm</name>
    <message>
        <source>ЛМК-Видео</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Размер видео:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Выход</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Останавливает конвертацию, а без неё закрывает окно</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Журнал</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Ход конвертации. Перетащите сюда файлы или нажмите Ctrl+O</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Перетащите сюда файлы, требующие конвертации.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Ширина видео</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Ширина кадра в точках</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Высота видео</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Высота кадра в точках</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>О программе</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Показывает сведения о программе</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>О программе...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Сконвертировано файлов: %1, не удалось: %2.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Программа для пережимания<byte value="xd"/>видео в формат портативных устройств.<byte value="xd"/><byte value="xd"/>Сайт автора: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Файлы не приняты: кодер не может работать. %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>это адрес, а не локальный файл</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>lmk::TMainForm</name>
    <message>
        <source>Видеофайлы (%1);;Все файлы (*)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Выберите файлы для конвертации</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
