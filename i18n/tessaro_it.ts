<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="it">
<context>
    <name>AppHeader</name>
    <message>
        <source>Version %1</source>
        <translation>Versione %1</translation>
    </message>
</context>
<context>
    <name>Backend</name>
    <message>
        <source>%1/s</source>
        <translation>%1/s</translation>
    </message>
    <message>
        <source>Cancelled before setting the product: the SD card would not start with the right product. Write it again before using it.</source>
        <translation>Annullato prima di impostare il prodotto: il dispositivo non partirebbe col prodotto giusto. Riscrivi la SD prima di usarla.</translation>
    </message>
    <message>
        <source>Cannot open the SD card: %1</source>
        <translation>Impossibile aprire la SD: %1</translation>
    </message>
    <message>
        <source>Cannot read the image: %1</source>
        <translation>Impossibile leggere l&apos;immagine: %1</translation>
    </message>
    <message>
        <source>Cannot save the image in the cache folder: %1</source>
        <translation>Impossibile salvare l&apos;immagine nella cartella cache: %1</translation>
    </message>
    <message>
        <source>Download cancelled: the SD card was not touched. The download will resume where it stopped.</source>
        <translation>Download annullato: la SD non è stata toccata. Il download riprenderà da dove si è fermato.</translation>
    </message>
    <message>
        <source>Download failed: %1. Check the network connection and retry.</source>
        <translation>Download non riuscito: %1. Controlla la connessione di rete e riprova.</translation>
    </message>
    <message>
        <source>Downloading</source>
        <translation>Download</translation>
    </message>
    <message>
        <source>Error reading or writing the SD card, it may be faulty: %1</source>
        <translation>Errore di lettura o scrittura sulla SD, potrebbe essere difettosa: %1</translation>
    </message>
    <message>
        <source>Finalizing: setting up %1</source>
        <translation>Finalizzazione: impostazione di %1</translation>
    </message>
    <message>
        <source>Not enough free disk space to download the image: %1</source>
        <translation>Spazio su disco insufficiente per scaricare l&apos;immagine: %1</translation>
    </message>
    <message>
        <source>Permission denied to access the SD card: %1</source>
        <translation>Permesso negato per accedere alla SD: %1</translation>
    </message>
    <message>
        <source>Cannot write to %1: it is the image being written.</source>
        <translation>Impossibile scrivere su %1: è l&apos;immagine da scrivere.</translation>
    </message>
    <message>
        <source>Cannot write to %1: it is inside the download cache folder %2.</source>
        <translation>Impossibile scrivere su %1: si trova nella cartella dei download %2.</translation>
    </message>
    <message>
        <source>The catalog entry of this image is faulty: its %1 is not a SHA-256 digest.</source>
        <translation>La voce del catalogo di questa immagine è errata: il suo %1 non è un digest SHA-256.</translation>
    </message>
    <message>
        <source>The catalog entry of this image is faulty: its address %1 is not allowed.</source>
        <translation>La voce del catalogo di questa immagine è errata: il suo indirizzo %1 non è ammesso.</translation>
    </message>
    <message>
        <source>The SD card is smaller than the image.</source>
        <translation>La SD è più piccola dell&apos;immagine.</translation>
    </message>
    <message>
        <source>The SD card is write-protected: move the lock switch on the card or adapter and retry.</source>
        <translation>La SD è protetta da scrittura: sposta il blocco sulla SD o sull&apos;adattatore e riprova.</translation>
    </message>
    <message>
        <source>The SD card was removed during the operation: insert it again and retry.</source>
        <translation>La SD è stata rimossa durante l&apos;operazione: reinseriscila e riprova.</translation>
    </message>
    <message>
        <source>The downloaded image is damaged (checksum mismatch) and was discarded; the SD card was not touched. Retry to download it again.</source>
        <translation>L&apos;immagine scaricata è danneggiata (checksum diverso) ed è stata scartata; la SD non è stata toccata. Riprova per scaricarla di nuovo.</translation>
    </message>
    <message>
        <source>The image catalog is not reachable: %1</source>
        <translation>Il catalogo immagini non è raggiungibile: %1</translation>
    </message>
    <message>
        <source>The image catalog is not valid: %1</source>
        <translation>Il catalogo immagini non è valido: %1</translation>
    </message>
    <message>
        <source>The image does not match the catalog (checksum mismatch): the SD card is not usable. Download the image again.</source>
        <translation>L&apos;immagine non corrisponde al catalogo (checksum diverso): la SD non è utilizzabile. Scarica di nuovo l&apos;immagine.</translation>
    </message>
    <message>
        <source>The image file is damaged and the SD card is not usable: %1</source>
        <translation>Il file immagine è danneggiato e la SD non è utilizzabile: %1</translation>
    </message>
    <message>
        <source>The image was written but the product could not be set on the SD card: %1. The device would not start with the right product: write the SD card again.</source>
        <translation>L&apos;immagine è stata scritta ma non è stato possibile impostare il prodotto sulla SD: %1. Il dispositivo non partirebbe col prodotto giusto: riscrivi la SD.</translation>
    </message>
    <message>
        <source>Too small: the image needs %1</source>
        <translation>Troppo piccola: l&apos;immagine richiede %1</translation>
    </message>
    <message>
        <source>Unsupported zip format: %1</source>
        <translation>Formato zip non supportato: %1</translation>
    </message>
    <message>
        <source>Verification failed: the data read back from the SD card differs from what was written. The SD card is probably faulty: try another one.</source>
        <translation>Verifica non riuscita: i dati riletti dalla SD sono diversi da quelli scritti. La SD è probabilmente difettosa: provane un&apos;altra.</translation>
    </message>
    <message>
        <source>Verification was cancelled: the SD card was written but not checked.</source>
        <translation>Verifica annullata: la SD è stata scritta ma non controllata.</translation>
    </message>
    <message>
        <source>Verifying</source>
        <translation>Verifica</translation>
    </message>
    <message>
        <source>Writing</source>
        <translation>Scrittura</translation>
    </message>
    <message>
        <source>Writing was cancelled: the SD card is incomplete and will not boot. Write it again before using it.</source>
        <translation>Scrittura annullata: la SD è incompleta e non si avvierà. Scrivila di nuovo prima di usarla.</translation>
    </message>
    <message>
        <source>about %1 min left</source>
        <translation>circa %1 min rimanenti</translation>
    </message>
    <message>
        <source>less than a minute left</source>
        <translation>meno di un minuto rimanente</translation>
    </message>
    <message>
        <source>The image file is damaged: %1. The SD card was not touched.</source>
        <translation>Il file immagine è danneggiato: %1. La SD non è stata toccata.</translation>
    </message>
    <message>
        <source>Cannot write to %1: it is a folder.</source>
        <translation>Impossibile scrivere su %1: è una cartella.</translation>
    </message>
    <message>
        <source>Cannot write to %1: the folder %2 does not exist.</source>
        <translation>Impossibile scrivere su %1: la cartella %2 non esiste.</translation>
    </message>
    <message>
        <source>Cannot write to %1: %2</source>
        <translation>Impossibile scrivere su %1: %2</translation>
    </message>
    <message>
        <source>Cannot write to %1: the image needs %2, but only %3 are free there.</source>
        <translation>Impossibile scrivere su %1: l&apos;immagine richiede %2, ma lì sono liberi solo %3.</translation>
    </message>
    <message>
        <source>Cannot write to %1: the image needs %2, but the card holds only %3.</source>
        <translation>Impossibile scrivere su %1: l&apos;immagine richiede %2, ma la scheda contiene solo %3.</translation>
    </message>
    <message>
        <source>Waiting for another download of the same image</source>
        <translation>In attesa di un altro download della stessa immagine</translation>
    </message>
    <message>
        <source>Cancelled: the SD card was not touched.</source>
        <translation>Annullato: la SD non è stata toccata.</translation>
    </message>
    <message>
        <source>Cannot write to %1: it is a disk, not a file. Choose disks with --disk in tessaro-cli, or in the window&apos;s list of disks without --target-file.</source>
        <translation>Impossibile scrivere su %1: è un disco, non un file. Scegli i dischi con --disk in tessaro-cli, o nell&apos;elenco dei dischi della finestra senza --target-file.</translation>
    </message>
    <message>
        <source>Writing to a disk needs administrator rights: open a Command Prompt with &quot;Run as administrator&quot; and run tessaro-cli there.</source>
        <translation>Scrivere su un disco richiede i diritti di amministratore: apri un Prompt dei comandi con &quot;Esegui come amministratore&quot; ed esegui lì tessaro-cli.</translation>
    </message>
    <message>
        <source>%1 download</source>
        <translation>%1 da scaricare</translation>
    </message>
    <message>
        <source>%1 s</source>
        <translation>%1 s</translation>
    </message>
    <message>
        <source>%1 min %2 s</source>
        <translation>%1 min %2 s</translation>
    </message>
    <message>
        <source>The SD card was powered off: you can remove it.</source>
        <translation>La SD è stata spenta: puoi rimuoverla.</translation>
    </message>
    <message>
        <source>Cannot power off the SD card: %1</source>
        <translation>Impossibile spegnere la SD: %1</translation>
    </message>
    <message>
        <source>The image has no partition for the product&apos;s boot files (%1); the SD card was not touched. Go back to the image to write it without setting up a product.</source>
        <translation>L&apos;immagine non ha una partizione per i file di avvio del prodotto (%1); la SD non è stata toccata. Torna all&apos;immagine per scriverla senza impostare un prodotto.</translation>
    </message>
    <message>
        <source>Unsupported image format: %1</source>
        <translation>Formato immagine non supportato: %1</translation>
    </message>
    <message>
        <source>the file is a %1 archive; unpack it first and choose the image inside</source>
        <translation>il file è un archivio %1; estrailo prima e scegli l&apos;immagine che contiene</translation>
    </message>
    <message>
        <source>the file is compressed with %1; unpack it first and choose the image inside</source>
        <translation>il file è compresso con %1; decomprimilo prima e scegli l&apos;immagine che contiene</translation>
    </message>
    <message>
        <source>The image file is damaged: %1</source>
        <translation>Il file immagine è danneggiato: %1</translation>
    </message>
    <message>
        <source>The image is empty: there is nothing to write.</source>
        <translation>L&apos;immagine è vuota: non c&apos;è niente da scrivere.</translation>
    </message>
    <message>
        <source>The SD card cannot be set up as %1 with this image: %2.</source>
        <translation>Con questa immagine la SD non può essere impostata come %1: %2.</translation>
    </message>
</context>
<context>
    <name>DevicePage</name>
    <message>
        <source>Back</source>
        <translation>Indietro</translation>
    </message>
    <message>
        <source>Choose the device</source>
        <translation>Scegli il dispositivo</translation>
    </message>
</context>
<context>
    <name>DiskPage</name>
    <message>
        <source>All data on %1 (%2) will be erased.</source>
        <translation>Tutti i dati su %1 (%2) verranno cancellati.</translation>
    </message>
    <message>
        <source>Back</source>
        <translation>Indietro</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Annulla</translation>
    </message>
    <message>
        <source>Choose the SD card</source>
        <translation>Scegli la SD</translation>
    </message>
    <message>
        <source>Erase and write</source>
        <translation>Cancella e scrivi</translation>
    </message>
    <message>
        <source>Erase the SD card?</source>
        <translation>Cancellare la SD?</translation>
    </message>
    <message>
        <source>Insert a microSD card or a USB stick: it will appear here.</source>
        <translation>Inserisci una microSD o una chiavetta USB: comparirà qui.</translation>
    </message>
    <message>
        <source>The SD card will be set up as %1.</source>
        <translation>La SD verrà impostata come %1.</translation>
    </message>
    <message>
        <source>Verify after writing</source>
        <translation>Verifica dopo la scrittura</translation>
    </message>
    <message>
        <source>Write</source>
        <translation>Scrivi</translation>
    </message>
    <message>
        <source>The image is written as it is: the SD card will not be set up as %1.</source>
        <translation>L&apos;immagine viene scritta così com&apos;è: la SD non verrà impostata come %1.</translation>
    </message>
    <message>
        <source>The SD card will not be set up as %1.</source>
        <translation>La SD non verrà impostata come %1.</translation>
    </message>
    <message>
        <source>Image: %1 (%2)</source>
        <translation>Immagine: %1 (%2)</translation>
    </message>
    <message>
        <source>Image: %1</source>
        <translation>Immagine: %1</translation>
    </message>
</context>
<context>
    <name>ImagePage</name>
    <message>
        <source>Back</source>
        <translation>Indietro</translation>
    </message>
    <message>
        <source>Build %1 · %2 download</source>
        <translation>Build %1 · %2 da scaricare</translation>
    </message>
    <message>
        <source>Build %1 · %2 download · %3 on the SD card</source>
        <translation>Build %1 · %2 da scaricare · %3 sulla SD</translation>
    </message>
    <message>
        <source>Choose an image</source>
        <translation>Scegli un&apos;immagine</translation>
    </message>
    <message>
        <source>Choose the image</source>
        <translation>Scegli l&apos;immagine</translation>
    </message>
    <message>
        <source>Compressed disk images (*.img.xz *.img.zst)</source>
        <translation>Immagini disco compresse (*.img.xz *.img.zst)</translation>
    </message>
    <message>
        <source>Disk images (*.img *.zip)</source>
        <translation>Immagini disco (*.img *.zip)</translation>
    </message>
    <message>
        <source>Local file…</source>
        <translation>File locale…</translation>
    </message>
    <message>
        <source>Next</source>
        <translation>Avanti</translation>
    </message>
    <message>
        <source>No file selected</source>
        <translation>Nessun file selezionato</translation>
    </message>
    <message>
        <source>Build %1, %2, %3 download, %4 on the SD card</source>
        <translation>Build %1, %2, %3 da scaricare, %4 sulla SD</translation>
    </message>
    <message>
        <source>Build %1, %2, %3 download</source>
        <translation>Build %1, %2, %3 da scaricare</translation>
    </message>
    <message>
        <source>All supported images (%1)</source>
        <translation>Tutte le immagini supportate (%1)</translation>
    </message>
    <message>
        <source>All files (*)</source>
        <translation>Tutti i file (*)</translation>
    </message>
    <message>
        <source>Checking the image…</source>
        <translation>Controllo dell&apos;immagine…</translation>
    </message>
    <message>
        <source>Write without setting up a product</source>
        <translation>Scrivi senza impostare un prodotto</translation>
    </message>
</context>
<context>
    <name>Main</name>
    <message>
        <source>A card is being written. Stop and close?</source>
        <translation>È in corso la scrittura di una scheda. Interrompere e chiudere?</translation>
    </message>
    <message>
        <source>Stop and close</source>
        <translation>Interrompi e chiudi</translation>
    </message>
    <message>
        <source>Keep writing</source>
        <translation>Continua a scrivere</translation>
    </message>
</context>
<context>
    <name>ProductPage</name>
    <message>
        <source>Choose the product</source>
        <translation>Scegli il prodotto</translation>
    </message>
    <message>
        <source>Loading the image catalog…</source>
        <translation>Caricamento del catalogo immagini…</translation>
    </message>
    <message>
        <source>Local file…</source>
        <translation>File locale…</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>Riprova</translation>
    </message>
    <message>
        <source>The image catalog lists no products.</source>
        <translation>Il catalogo immagini non elenca alcun prodotto.</translation>
    </message>
    <message>
        <source>Update Tessaro: the image catalog requires version %1 or newer, this is version %2.</source>
        <translation>Aggiorna Tessaro: il catalogo immagini richiede la versione %1 o successiva, questa è la versione %2.</translation>
    </message>
    <message>
        <source>You can still write an image file you already have.</source>
        <translation>Puoi comunque scrivere un file immagine che hai già.</translation>
    </message>
    <message>
        <source>Trying again to load the image catalog…</source>
        <translation>Nuovo tentativo di caricare il catalogo immagini…</translation>
    </message>
    <message>
        <source>Tried again: it failed again (attempt %1).</source>
        <translation>Nuovo tentativo: non è riuscito di nuovo (tentativo %1).</translation>
    </message>
</context>
<context>
    <name>ResultPage</name>
    <message>
        <source>Back</source>
        <translation>Indietro</translation>
    </message>
    <message>
        <source>Cancelled</source>
        <translation>Annullato</translation>
    </message>
    <message>
        <source>Done</source>
        <translation>Fatto</translation>
    </message>
    <message>
        <source>The SD card is ready, you can remove it.</source>
        <translation>SD pronta, puoi rimuoverla.</translation>
    </message>
    <message>
        <source>Write another SD card</source>
        <translation>Scrivi un&apos;altra SD</translation>
    </message>
    <message>
        <source>Write failed</source>
        <translation>Scrittura non riuscita</translation>
    </message>
    <message>
        <source>Download failed</source>
        <translation>Download non riuscito</translation>
    </message>
    <message>
        <source>Image</source>
        <translation>Immagine</translation>
    </message>
    <message>
        <source>SD card</source>
        <translation>SD</translation>
    </message>
    <message>
        <source>Time</source>
        <translation>Tempo</translation>
    </message>
    <message>
        <source>Check</source>
        <translation>Controllo</translation>
    </message>
    <message>
        <source>verified</source>
        <translation>verificata</translation>
    </message>
    <message>
        <source>not verified</source>
        <translation>non verificata</translation>
    </message>
    <message>
        <source>Eject</source>
        <translation>Espelli</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>Riprova</translation>
    </message>
</context>
<context>
    <name>WritingPage</name>
    <message>
        <source>%1%</source>
        <translation>%1%</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Annulla</translation>
    </message>
    <message>
        <source>Cancelling…</source>
        <translation>Annullamento…</translation>
    </message>
    <message>
        <source>Writing %1…</source>
        <translation>Scrittura di %1…</translation>
    </message>
</context>
</TS>
